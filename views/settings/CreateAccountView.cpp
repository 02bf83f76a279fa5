#include "views/settings/CreateAccountView.h"

#include "views/settings/ProviderSetupView.h"
#include "views/settings/ProviderSetupViews.h"

#include <QPointer>
#include <QVBoxLayout>

namespace velmora {

CreateAccountView::CreateAccountView(ProviderType type, QWidget* parent) : QDialog(parent), m_type(type) {
    setObjectName(QStringLiteral("CreateAccountView"));
    setWindowTitle(rawText(type));
    setFixedWidth(width);
    QPointer<CreateAccountView> self(this);
    auto dismiss = [self](bool saved) {
        if (self) {
            saved ? self->accept() : self->reject();
        }
    };
    m_setup = ProviderSetupViews::create(
        type, [dismiss] { dismiss(true); }, [dismiss] { dismiss(false); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_setup);
}

} // namespace velmora
