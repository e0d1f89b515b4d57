#include "qt_ui/session_readings.h"

#include <cstdlib>

namespace qtui {

QString csvField(QString text)
{
    // A NUL would end the text on the clipboard of some systems.
    text.replace(QChar(u'\0'), QChar::ReplacementCharacter);
    const bool formula = !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front());
    if (formula)
        text.prepend(u'\'');
    const bool quoted = formula || text.contains(u'"') || text.contains(u',') || text.contains(u'\n') ||
                        text.contains(u'\r') || text.startsWith(u' ') || text.endsWith(u' ');
    if (!quoted)
        return text;
    return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString isoLocalTime(const QDateTime& at)
{
    // Qt writes an offset of zero as "Z"; the offset is written out in every zone.
    const int offset = at.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QChar(u'0'))
               .arg(minutes % 60, 2, 10, QChar(u'0'));
}

void SessionReadings::add(const QDateTime& at, protocol::ReadingKind kind, const QString& text,
                          std::optional<double> value)
{
    readings_.push_back({at, kind, text, value});
    if (readings_.size() > capacity)
        readings_.pop_front();
}

QString SessionReadings::csv() const
{
    QString csv = QStringLiteral("time,kind,text,value\r\n");
    for (const auto& reading : readings_) {
        csv += isoLocalTime(reading.at) + u',' +
               (reading.kind == protocol::ReadingKind::temperature ? QStringLiteral("temperature")
                                                                   : QStringLiteral("humidity")) +
               u',' + csvField(reading.text) + u',' +
               (reading.value ? QString::number(*reading.value) : QString()) + QStringLiteral("\r\n");
    }
    return csv;
}

} // namespace qtui
