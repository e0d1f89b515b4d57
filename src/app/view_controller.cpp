#include "app/view_controller.h"

#include <chrono>
#include <string>

ViewController::ViewController(Platform platform)
    : peripherals(std::in_place), timer(std::make_shared<app::Timer>()),
      userDefaults(app::UserDefaults::standardUserDefaults()), platform_(std::move(platform))
{
}

void ViewController::viewDidLoad()
{
    if (const auto table = tableView.lock()) {
        table->setDelegate(weak_from_this());
        table->setDataSource(weak_from_this());
    }
    centralManager = platform_.makeCentralManager(weak_from_this());
    // The run loop alone keeps the poll timer; it must not keep the controller alive.
    auto pollTimer = std::make_shared<app::Timer>(
        std::chrono::duration<double>(pollInterval),
        [controller = weak_from_this()](app::Timer& firing) {
            if (const auto live = controller.lock())
                live->fTimerFireMethod(firing);
        },
        true);
    platform_.runLoop->addTimer(std::move(pollTimer), app::RunLoop::defaultMode);
}

void ViewController::viewDidAppear()
{
    log({"View Cleared"});
}

void ViewController::viewWillDisappear()
{
    log({"Stop Scanning"});
    if (centralManager)
        centralManager->stopScan();
}

void ViewController::log(std::initializer_list<std::string_view> items) const
{
    // Most lines are one item: it goes to the sink as it stands, uncopied.
    if (items.size() == 1) {
        platform_.log->writeLine(*items.begin());
        return;
    }
    std::size_t length = items.size();
    for (const auto item : items)
        length += item.size();
    std::string line;
    line.reserve(length);
    for (auto item = items.begin(); item != items.end(); ++item) {
        if (item != items.begin())
            line += ' ';
        line += *item;
    }
    platform_.log->writeLine(line);
}

void ViewController::reloadTable() const
{
    if (const auto table = tableView.lock())
        table->reloadData();
}
