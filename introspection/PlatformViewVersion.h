#pragma once

#include "IntrospectionSelector.h"
#include "QtVersion.h"
#include "UnavailableWarning.h"

#include <cstdio>
#include <optional>
#include <source_location>

namespace velmora::introspection {

// One Qt release on which view type V is known to be rendered by V::Entity, with the
// selector that finds it there (none: the plain search for V::Entity). An unavailable entry
// stands for a release where the widget does not exist; it never matches.
template <typename V> class PlatformViewVersion {
public:
    using Entity = typename V::Entity;
    using Selector = IntrospectionSelector<Entity>;

    explicit PlatformViewVersion(QtVersion version, std::optional<Selector> selector = std::nullopt)
        : version_(version), selector_(std::move(selector)) {}

    static PlatformViewVersion unavailable(std::source_location where = std::source_location::current()) {
        const QString warning = unavailableWarning(QString::fromUtf8(where.file_name()), int(where.line()));
        std::fputs(warning.toUtf8().constData(), stdout);
        std::fputs("\n", stdout);
        return PlatformViewVersion();
    }

    const std::optional<QtVersion>& version() const { return version_; }
    const std::optional<Selector>& selector() const { return selector_; }
    bool isCurrent() const { return version_ && version_->isCurrent(); }
    bool isCurrentOrPast() const { return version_ && version_->isCurrentOrPast(); }

private:
    PlatformViewVersion() = default;

    std::optional<QtVersion> version_;
    std::optional<Selector> selector_;
};

} // namespace velmora::introspection
