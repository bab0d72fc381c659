#pragma once

#include "app/app_run.h"
#include "app/song_tracker.h"
#include "support/run_task.h"
#include "support/temp_home.h"
#include "ui/desktop_ui.h"

#include <memory>

// A run in `home` with its windows, its tracker stopped: the state the test sets stays.
inline void startStillDesktop(TempHome& home, std::unique_ptr<AppRun>& run,
                              std::unique_ptr<DesktopUi>& desktop)
{
    run = std::make_unique<AppRun>(AppRun::Paths{home.settingsPath(), home.path(), home.path()});
    run->tracker().stop();
    desktop = std::make_unique<DesktopUi>(*run);
}

// The windows, then the run, then what their cancelled tasks leave on the event loop.
inline void stopDesktop(std::unique_ptr<AppRun>& run, std::unique_ptr<DesktopUi>& desktop)
{
    desktop.reset();
    run.reset();
    drainCancelledTasks();
}
