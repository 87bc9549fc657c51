#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/protocol.h"
#include "cycle/control_server.h"
#include "images/expander.h"
#include "support/event.h"

namespace zelvo {

struct DaemonState;

// A set whose files are being checked by the prober; its client waits.
struct PendingSet {
    std::uint64_t client = 0;
    std::optional<std::size_t> monitor;  // -n: this monitor alone (from 0)
    std::vector<std::string> files;
    std::unique_ptr<ExpansionRun> check;
    std::unique_ptr<TimerEvent> overdue;
};

// What the daemon answers on its control socket: each request read against
// its command's form, and carried out by the member the form names, with the
// same steps that a signal takes; answered at once or, for set and the
// lists, once its worker has answered.
class Steering final : public CommandHandlers {
public:
    explicit Steering(DaemonState& state) : state_(state) {}

    // Answers a request that came through the control socket.
    void request(ControlRequest request);
    void answer(std::uint64_t client, std::string reply);
    // A quit: a set being checked is over.
    void drop_set() { set_.reset(); }

    void next(std::uint64_t client, const Command& command) override;
    void previous(std::uint64_t client, const Command& command) override;
    void reshuffle(std::uint64_t client, const Command& command) override;
    void reload(std::uint64_t client, const Command& command) override;
    void quit(std::uint64_t client, const Command& command) override;
    void pause(std::uint64_t client, const Command& command) override;
    void rescan(std::uint64_t client, const Command& command) override;
    void favourite(std::uint64_t client, const Command& command) override;
    void ban(std::uint64_t client, const Command& command) override;
    void unban(std::uint64_t client, const Command& command) override;
    void set(std::uint64_t client, const Command& command) override;
    void status(std::uint64_t client, const Command& command) override;

private:
    void finish_set(std::optional<std::string> refusal);

    DaemonState& state_;
    std::unique_ptr<PendingSet> set_;
};

// status --json and current --json: one object, on one line.
std::string status_json(const DaemonState& state);

}  // namespace zelvo
