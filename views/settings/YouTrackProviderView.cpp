#include "views/settings/YouTrackProviderView.h"

#include <QLineEdit>
#include <QVBoxLayout>

namespace velmora {

namespace {

// Keeps a line edit showing a field's value (the model rewrites it: normalising,
// switching "Change credentials") and the field following what the user types.
Cancellable bind(QLineEdit* edit, ProviderSetupViewModel::TextField& field) {
    QObject::connect(edit, &QLineEdit::textEdited, edit,
                     [&field](const QString& text) { field.setValue(text); });
    return field.projectedValue().subscribe([edit](const QString& value) {
        if (edit->text() != value) {
            edit->setText(value);
        }
    });
}

} // namespace

YouTrackProviderView::YouTrackProviderView(YouTrackProviderViewModel* viewModel, Action onDelete,
                                           Action onCancel, QWidget* parent)
    : ProviderSetupView(viewModel, std::move(onDelete), std::move(onCancel), parent), m_model(viewModel) {
    setObjectName(QStringLiteral("YouTrackProviderView"));
    build();
}

void YouTrackProviderView::buildCredentials(QVBoxLayout* layout) {
    layout->addWidget(labelled(QStringLiteral("Base URL"), m_model->baseUrlValidation(),
                               QStringLiteral("You can paste your YouTrack URL")));
    m_baseUrl = new QLineEdit;
    m_baseUrl->setObjectName(QStringLiteral("baseUrlField"));
    m_baseUrlShown = bind(m_baseUrl, m_model->baseUrl());
    // Normalised once the user is done with it, never under the cursor.
    connect(m_baseUrl, &QLineEdit::editingFinished, m_model, &YouTrackProviderViewModel::commitBaseUrl);
    layout->addWidget(m_baseUrl);

    layout->addWidget(labelled(QStringLiteral("Permanent token"), m_model->tokenValidation()));
    m_token = new QLineEdit;
    m_token->setObjectName(QStringLiteral("tokenField"));
    m_token->setEchoMode(QLineEdit::Password);
    m_tokenShown = bind(m_token, m_model->token());
    layout->addWidget(m_token);
}

} // namespace velmora
