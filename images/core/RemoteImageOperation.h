#pragma once

namespace velmora::images {

// A running piece of work of the image library that its caller can cancel: a cache query, a
// download, a whole load.
class RemoteImageOperation {
public:
    virtual ~RemoteImageOperation() = default;
    virtual void cancel() = 0;
};

} // namespace velmora::images
