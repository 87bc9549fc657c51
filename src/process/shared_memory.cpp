#include "process/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelvo {

std::optional<UniqueDescriptor> shared_memory_create(std::size_t bytes) {
#if defined(__linux__)
    UniqueDescriptor memory(memfd_create("zelvo-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING));
#else
    UniqueDescriptor memory(shm_open(SHM_ANON, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
#endif
    if (memory.get() < 0) return std::nullopt;
    if (ftruncate(memory.get(), static_cast<off_t>(bytes)) != 0) return std::nullopt;
    return memory;
}

bool shared_memory_seal(int memory) {
    return fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0;
}

bool shared_memory_holds(int memory, std::size_t bytes) {
    const int seals = fcntl(memory, F_GET_SEALS);
    struct stat status{};
    return seals >= 0 && (seals & F_SEAL_SHRINK) != 0 && fstat(memory, &status) == 0 &&
           static_cast<std::size_t>(status.st_size) >= bytes;
}

}  // namespace zelvo
