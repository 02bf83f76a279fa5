#pragma once

#include <QAbstractScrollArea>
#include <QPointer>
#include <QWidget>

class QPropertyAnimation;
class QScrollArea;
class QVBoxLayout;

namespace velmora {

class SettingsSection;
class SettingsViewModel;

// The container of a settings page's rows: sections in a scroll area. It keeps the
// window's scrolledToTop flag up to date while the rows scroll and, while they are not at
// the top, shows the title bar's backdrop: here, where the window's title bar lies outside
// the content, that is the shadow line along the top edge of the page.
class SettingsForm : public QWidget {
    Q_OBJECT
public:
    // The head may move this far down from the top of the page and the rows still count as
    // scrolled to the top.
    static constexpr int scrolledToTopDistance = 20;
    // Where the head of the rows lies below the top of the page while they are at the top.
    static constexpr int headMargin = 24;

    explicit SettingsForm(SettingsViewModel& model, QWidget* parent = nullptr);

    SettingsSection* addSection(const QString& header = QString());

    // The scroll area behind the form, as introspection found it (null until then).
    QAbstractScrollArea* introspectedScrollArea() const { return m_scrollArea; }

    // The scroll-state rule for an offset v of the rows' head (v grows as the rows scroll up;
    // the head lies -v below the top of the page): the flag changes only on a real change.
    void applyOffset(double v);
    // The current offset of the head.
    double offset() const;

    // What the backdrop draws now: whether it shows, the shadow line's height and the opacity
    // its gradient starts at.
    bool backdropShown() const;
    int shadowLineHeight() const;
    qreal shadowLineStartOpacity() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class ShadowLine;

    void adjust(QAbstractScrollArea* area);
    void updateBackdrop(bool animated);
    void placeShadowLine();

    SettingsViewModel& m_model;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_content = nullptr;
    QVBoxLayout* m_sections = nullptr;
    QPointer<QAbstractScrollArea> m_scrollArea;
    ShadowLine* m_shadowLine = nullptr;
    QPropertyAnimation* m_fade = nullptr;
};

} // namespace velmora
