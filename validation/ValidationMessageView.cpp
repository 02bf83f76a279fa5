#include "validation/ValidationMessageView.h"

#include "validation/MessageColor.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPalette>
#include <QVBoxLayout>

namespace velmora {

ValidationMessageView::ValidationMessageView(QWidget* input, ValidationContainer container,
                                             ErrorViewBuilder errorView, QWidget* parent)
    : QWidget(parent), m_input(input), m_container(std::move(container)), m_errorView(std::move(errorView)) {
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    if (input) {
        m_layout->addWidget(input);
    }

    if (!m_errorView) {
        m_defaultMessage = new QLabel(this);
        // The message is shown as given: no markup and no translation.
        m_defaultMessage->setTextFormat(Qt::PlainText);
        m_defaultMessage->setWordWrap(true);
        QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setPixelSize(14);
        font.setWeight(QFont::Normal);
        m_defaultMessage->setFont(font);
        QPalette palette = m_defaultMessage->palette();
        palette.setColor(QPalette::WindowText, MessageColor::readable(palette));
        m_defaultMessage->setPalette(palette);
        m_defaultMessage->hide();
        m_layout->addWidget(m_defaultMessage);
    }

    m_publisherSubscription = m_container.publisher().subscribe([this](const Validation& v) { display(v); });
    PassthroughSubject<Validation> subject = m_container.subject();
    m_subjectSubscription = subject.subscribe([this](const Validation& v) { display(v); });
}

ValidationMessageView::~ValidationMessageView() {
    // No outcome may reach a half-destroyed view.
    m_publisherSubscription.cancel();
    m_subjectSubscription.cancel();
}

QWidget* ValidationMessageView::messageView() const {
    if (m_latestValidation.isSuccess()) {
        return nullptr;
    }
    return m_defaultMessage ? static_cast<QWidget*>(m_defaultMessage) : m_builtMessage.data();
}

void ValidationMessageView::display(const Validation& validation) {
    m_latestValidation = validation;
    if (m_defaultMessage) {
        m_defaultMessage->setText(validation.failureMessage().value_or(QString()));
        m_defaultMessage->setVisible(validation.isFailure());
        return;
    }
    if (m_builtMessage) {
        m_layout->removeWidget(m_builtMessage);
        m_builtMessage->hide();
        m_builtMessage->deleteLater();
        m_builtMessage = nullptr;
    }
    if (validation.isFailure()) {
        if (QWidget* built = m_errorView(*validation.failureMessage())) {
            m_builtMessage = built;
            m_layout->addWidget(built);
            built->show();
        }
    }
}

QWidget* attachValidation(QWidget* input, std::optional<ValidationContainer> container,
                          ValidationMessageView::ErrorViewBuilder errorView) {
    if (!container) {
        return input;
    }
    return new ValidationMessageView(input, std::move(*container), std::move(errorView));
}

} // namespace velmora
