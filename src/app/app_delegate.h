// The application's delegate: told when launching has finished and before
// the application terminates. The application needs neither moment: the
// window's controller does all the work, and nothing is kept between runs.
#pragma once

#include "app/ui.h"

class AppDelegate {
public:
    void applicationDidFinishLaunching(const ui::Notification&) {}
    void applicationWillTerminate(const ui::Notification&) {}
};
