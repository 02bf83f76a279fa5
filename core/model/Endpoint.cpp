#include "core/model/Endpoint.h"

#include <QUrl>

namespace velmora {

QString Endpoint::segment(const QString& id) {
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

} // namespace velmora
