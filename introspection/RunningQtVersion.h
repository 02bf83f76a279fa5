#pragma once

#include <QVersionNumber>

#include <optional>

namespace velmora::introspection {

// The Qt version the process runs on. It is read from the library once; tests replace it
// for as long as an Override lives so each branch can be shown on one machine.
class RunningQtVersion {
public:
    static QVersionNumber get();

    class Override {
    public:
        explicit Override(QVersionNumber version);
        ~Override();
        Override(const Override&) = delete;
        Override& operator=(const Override&) = delete;

    private:
        std::optional<QVersionNumber> previous_;
    };
};

} // namespace velmora::introspection
