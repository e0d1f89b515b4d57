#include "qt_ui/qt_run_loop.h"

#include <QTimer>

#include <chrono>

namespace qtui {

void QtRunLoop::addTimer(std::shared_ptr<app::Timer> timer, std::string_view)
{
    auto* qtTimer = new QTimer(&timers_);
    qtTimer->setTimerType(Qt::PreciseTimer);
    qtTimer->setInterval(std::chrono::round<std::chrono::milliseconds>(timer->timeInterval()));
    qtTimer->setSingleShot(!timer->repeats());
    QObject::connect(qtTimer, &QTimer::timeout, qtTimer, [qtTimer, timer] {
        timer->fire();
        if (!timer->isValid())
            qtTimer->deleteLater();
    });
    qtTimer->start();
}

} // namespace qtui
