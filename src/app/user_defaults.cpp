#include "app/user_defaults.h"

std::shared_ptr<app::UserDefaults> app::UserDefaults::standardUserDefaults()
{
    static const auto standard = std::make_shared<UserDefaults>();
    return standard;
}
