#pragma once

#include <optional>

class QAbstractAnimation;
class QWidget;

namespace velmora::imageviews {

// How a loaded image enters its frame: it fades in, or moves in from one edge. Only the
// insertion is animated; the old content goes at once.
class ImageTransition {
public:
    enum class Kind { Identity, Opacity, Move };
    // Leading and trailing follow the widget's layout direction.
    enum class Edge { Top, Leading, Bottom, Trailing };

    // Used when a transition carries no duration of its own.
    static constexpr double defaultDuration = 0.35;

    static ImageTransition identity() { return ImageTransition(Kind::Identity, Edge::Top, std::nullopt); }
    static ImageTransition fadeIn() { return ImageTransition(Kind::Opacity, Edge::Top, std::nullopt); }
    static ImageTransition fadeIn(double duration) { return ImageTransition(Kind::Opacity, Edge::Top, duration); }
    static ImageTransition moveIn(Edge from) { return ImageTransition(Kind::Move, from, std::nullopt); }
    static ImageTransition moveIn(Edge from, double duration) { return ImageTransition(Kind::Move, from, duration); }

    Kind insertion() const { return m_kind; }
    Edge edge() const { return m_edge; }
    std::optional<double> duration() const { return m_duration; }
    // Removal is always immediate.
    bool animatesRemoval() const { return false; }

    // The insertion of `view` into its parent as an animation (not started; owned by the
    // view); null for the identity. Ease-in-out over the duration.
    QAbstractAnimation* insertionAnimation(QWidget* view) const;

    friend bool operator==(const ImageTransition&, const ImageTransition&) = default;

private:
    ImageTransition(Kind kind, Edge edge, std::optional<double> duration)
        : m_kind(kind), m_edge(edge), m_duration(duration) {}

    Kind m_kind;
    Edge m_edge;
    std::optional<double> m_duration;
};

} // namespace velmora::imageviews
