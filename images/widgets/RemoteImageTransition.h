#pragma once

#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"

#include <QByteArray>
#include <QEasingCurve>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QAbstractAnimation;
class QPoint;
class QWidget;

namespace velmora::images {

// How a freshly loaded image enters its view.
class RemoteImageTransition {
public:
    // Option bits: implicit animation, the curve field and the transition field.
    static constexpr quint64 allowImplicitAnimation = 0x1;
    static constexpr quint64 curveMask = 0x30000;
    static constexpr quint64 transitionMask = 0x700000;

    using Prepares = std::function<void(QWidget* view, const Image& image, const QByteArray& data,
                                        ImageCacheType cacheType, const QUrl& imageURL)>;
    using Animations = std::function<void(QWidget* view, const Image& image)>;
    using Completion = std::function<void(bool finished)>;

    // When set, the transition does not put the image into the view; `animations` does.
    bool avoidAutoSetImage = false;
    double duration = 0.5;
    // None: derived from `animationOptions`.
    std::optional<QEasingCurve> timingFunction;
    quint64 animationOptions = 0;
    Prepares prepares;
    Animations animations;
    Completion completion;

    static std::shared_ptr<RemoteImageTransition> fadeTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> flipFromLeftTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> flipFromRightTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> flipFromTopTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> flipFromBottomTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> curlUpTransition(double duration = 0.5);
    static std::shared_ptr<RemoteImageTransition> curlDownTransition(double duration = 0.5);
};

// The animated change a transition's option bits ask for.
struct RemoteImageTransitionEffect {
    enum class Type { Fade, Push, Reveal };
    enum class Subtype { None, FromLeft, FromRight, FromBottom };
    Type type = Type::Fade;
    Subtype subtype = Subtype::None;

    friend bool operator==(const RemoteImageTransitionEffect&, const RemoteImageTransitionEffect&) = default;
};

// None when the options carry no transition bits the effect table knows.
std::optional<RemoteImageTransitionEffect> transitionForTransitionOptions(quint64 options);

// Linear for options with nothing outside the curve field; otherwise ease-in (curve 1),
// ease-out (curve 2) or the default ease-in-out.
QEasingCurve timingFunctionForTransitionOptions(quint64 options);

// An animation of `view` playing the effect over `durationSeconds` (not started; owned by
// the view). A fade goes through an opacity effect that is removed at the end; a push
// or reveal slides the view in from the side named.
QAbstractAnimation* animationForTransitionEffect(QWidget* view, const RemoteImageTransitionEffect& effect,
                                                 double durationSeconds, const QEasingCurve& curve);

// The two insertions the image views animate (not started; owned by the view): `view` fades in
// from transparent through an opacity effect that is removed at the end, or slides from
// `start` to where it stands now.
QAbstractAnimation* fadeInAnimation(QWidget* view, int durationMs, const QEasingCurve& curve);
QAbstractAnimation* slideInAnimation(QWidget* view, const QPoint& start, int durationMs,
                                     const QEasingCurve& curve);

} // namespace velmora::images
