#pragma once

#include "views/main/IntroRoute.h"

#include <QList>
#include <QWidget>

class QPushButton;
class QStackedWidget;

namespace velmora {

class ProviderSetupView;

// The welcome window's content: a greeting and one button per tracker, each leading,
// inside the window, to that tracker's setup form for a new account. "Cancel" in the
// form returns to the greeting. Saving is the form's business: the first account
// replaces the welcome window with the main window.
class WelcomeView : public QWidget {
    Q_OBJECT
public:
    explicit WelcomeView(QWidget* parent = nullptr);

    const QList<IntroRoute>& path() const { return m_path; }
    QPushButton* trackerButton(IntroRoute route) const;
    // The setup form on screen; null on the greeting.
    ProviderSetupView* setupView() const;

    void openSetup(IntroRoute route);
    void resetPath();

private:
    void showTop();

    QList<IntroRoute> m_path;
    QStackedWidget* m_stack;
    QWidget* m_welcome;
};

} // namespace velmora
