#include "validation/FormManager.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

namespace velmora {

FormManager::FormManager(ValidationType validationType, FormChanged onFormChanged, QObject* parent)
    : QObject(parent), m_validationType(validationType), m_onFormChanged(std::move(onFormChanged)) {}

void FormManager::registerValidator(ValidatorContainer container) {
    Q_ASSERT(QThread::currentThread() == thread());
    // The validator must not keep its form's manager alive.
    QPointer<FormManager> weakSelf(this);
    container.validator->addOnChanged([weakSelf](const Validation&) {
        if (weakSelf) {
            weakSelf->updateFormState();
        }
    });
    m_validators.push_back(std::move(container));
}

bool FormManager::checkAllValid() const {
    for (const auto& container : m_validators) {
        if (container.isDisabled()) {
            continue;
        }
        if (container.validator->validate().isFailure()) {
            return false;
        }
    }
    return true;
}

bool FormManager::checkAllFilled() const {
    // Exempt fields count too: a form is not filled while one of them is empty.
    for (const auto& container : m_validators) {
        if (container.validator->validate().isFailure() && container.validator->isEmpty()) {
            return false;
        }
    }
    return true;
}

QStringList FormManager::collectMessages() const {
    QStringList messages;
    for (const auto& container : m_validators) {
        if (container.isDisabled()) {
            continue;
        }
        const Validation outcome = container.validator->validate();
        if (outcome.isFailure() && !outcome.failureMessage()->isEmpty()) {
            messages.append(*outcome.failureMessage());
        }
    }
    return messages;
}

bool FormManager::triggerValidation() {
    const bool showsError = m_validationType != ValidationType::silent;
    // A copy: an observer may register further fields while we walk.
    const std::vector<ValidatorContainer> validators = m_validators;
    for (const auto& container : validators) {
        container.validator->observe(container.isDisabled(), showsError);
    }
    return checkAllValid();
}

QString FormManager::joinedMessages() const {
    return validationMessages().join(QLatin1Char('\n'));
}

void FormManager::updateFormState() {
    // Forms live on the thread of their views; a change from elsewhere is a bug.
    Q_ASSERT(QThread::currentThread() == thread());
    const bool valid = checkAllValid();
    const bool validChanged = valid != m_allValid.value();
    m_allValid.send(valid);
    if (validChanged) {
        emit allValidChanged(valid);
    }

    const bool filled = checkAllFilled();
    const bool filledChanged = filled != m_allFilled.value();
    m_allFilled.send(filled);
    if (filledChanged) {
        emit allFilledChanged(filled);
    }

    const QStringList messages = collectMessages();
    const bool messagesChanged = messages != m_validationMessages.value();
    m_validationMessages.send(messages);
    if (messagesChanged) {
        emit validationMessagesChanged(messages);
    }

    if (m_onFormChanged) {
        // Always later, on the main thread: the current change is fully processed
        // first. A manager destroyed in between drops the call.
        QTimer::singleShot(0, this, [this] { m_onFormChanged(*this); });
    }
}

} // namespace velmora
