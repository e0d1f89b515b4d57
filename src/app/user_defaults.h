// The process's user-defaults store. The application keeps nothing between
// runs: the controller holds the handle and stores nothing in it.
#pragma once

#include <memory>

namespace app {

class UserDefaults {
public:
    static std::shared_ptr<UserDefaults> standardUserDefaults();
};

} // namespace app
