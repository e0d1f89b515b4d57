// Ownership of Qt objects that have no Qt parent: deleted through the event
// loop, so that an object never disappears inside one of its own signals.
#pragma once

#include <QObject>

#include <memory>

namespace qtble {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

template <typename T> using QtOwned = std::unique_ptr<T, DeleteLater>;

} // namespace qtble
