// Ownership of Qt objects that have no Qt parent: deleted through the event
// loop, so that an object never disappears inside one of its own signals.
#pragma once

#include <QObject>

#include <memory>
#include <utility>

namespace qtble {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

template <typename T> using QtOwned = std::unique_ptr<T, DeleteLater>;

template <typename T, typename... Arguments> QtOwned<T> makeQtOwned(Arguments&&... arguments)
{
    return QtOwned<T>(new T(std::forward<Arguments>(arguments)...));
}

} // namespace qtble
