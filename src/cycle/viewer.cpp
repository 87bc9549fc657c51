#include "cycle/viewer.h"

#include "config/run_options.h"
#include "cycle/desktop_viewer.h"
#include "cycle/feh_viewer.h"
#include "cycle/swaybg_viewer.h"
#include "cycle/zelvo_viewer.h"

namespace zelvo {

std::unique_ptr<Viewer> make_viewer(const ViewerSetting& setting) {
    switch (setting.options.config->viewer) {
    case ViewerKind::swaybg:
        return std::make_unique<SwaybgViewer>(setting);
    case ViewerKind::zelvo:
        return std::make_unique<ZelvoViewer>(setting);
    case ViewerKind::desktop:
        return std::make_unique<DesktopViewer>(setting);
    case ViewerKind::feh:
        break;
    }
    return std::make_unique<FehViewer>(setting);
}

}  // namespace zelvo
