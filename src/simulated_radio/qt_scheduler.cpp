#include "simulated_radio/qt_scheduler.h"

#include <QTimer>

namespace simradio {

void QtScheduler::post(Duration delay, std::function<void()> callback)
{
    QTimer::singleShot(delay, Qt::PreciseTimer, &context_, std::move(callback));
}

} // namespace simradio
