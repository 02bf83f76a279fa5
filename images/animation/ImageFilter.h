#pragma once

#include <QImage>
#include <QString>

#include <functional>

namespace velmora::images {

// A named pixel filter: what an image is run through by the filter transform.
struct ImageFilter {
    QString name;
    // Gets the source bitmap, gives the filtered one (null for failure).
    std::function<QImage(const QImage&)> apply;
};

} // namespace velmora::images
