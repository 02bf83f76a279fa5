#pragma once

#include "platform/async/Stream.h"
#include "validation/ValidatorContainer.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <vector>

namespace velmora {

// The validity of one form: the fields register their validators, and every
// outcome of any of them recomputes whether all are valid, whether all required
// ones are filled, and which messages to show. Main thread only.
class FormManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool allValid READ allValid NOTIFY allValidChanged)
    Q_PROPERTY(bool allFilled READ allFilled NOTIFY allFilledChanged)
    Q_PROPERTY(QStringList validationMessages READ validationMessages NOTIFY validationMessagesChanged)

public:
    // When failures are shown: while typing and on demand, only on demand, or never.
    enum class ValidationType { immediate, deferred, silent };
    Q_ENUM(ValidationType)

    using FormChanged = std::function<void(FormManager&)>;

    explicit FormManager(ValidationType validationType = ValidationType::immediate,
                         FormChanged onFormChanged = {}, QObject* parent = nullptr);

    ValidationType validationType() const { return m_validationType; }

    // Registration order is the order of every check.
    const std::vector<ValidatorContainer>& validators() const { return m_validators; }
    // Replacing the list is the only way to drop fields; observers already added to
    // the dropped validators stay (and do nothing once this manager is gone).
    void setValidators(std::vector<ValidatorContainer> validators) { m_validators = std::move(validators); }

    // The aggregates as last computed; false, false and empty until a registered
    // validator first produces an outcome.
    bool allValid() const { return m_allValid.value(); }
    bool allFilled() const { return m_allFilled.value(); }
    QStringList validationMessages() const { return m_validationMessages.value(); }

    // Each delivers the current value on subscription, then every assignment
    // (also one that leaves the value unchanged). The Qt signals fire on changes only.
    Stream<bool> allValidStream() const { return m_allValid.stream(); }
    Stream<bool> allFilledStream() const { return m_allFilled.stream(); }
    Stream<QStringList> validationMessagesStream() const { return m_validationMessages.stream(); }

    // Adds a field. Nothing is evaluated now: the aggregates change with the next
    // outcome of any registered validator.
    void registerValidator(ValidatorContainer container);

    // Each computes one aggregate from the current values without publishing it.
    bool checkAllValid() const;
    bool checkAllFilled() const;
    QStringList collectMessages() const;

    // Checks every field now, shows or hides the outcomes as the validation type
    // says, and returns whether the form is valid.
    bool triggerValidation();

    // The current messages joined by line feeds.
    QString joinedMessages() const;

signals:
    void allValidChanged(bool allValid);
    void allFilledChanged(bool allFilled);
    void validationMessagesChanged(const QStringList& validationMessages);

private:
    void updateFormState();

    std::vector<ValidatorContainer> m_validators;
    CurrentValueSubject<bool> m_allValid{false};
    CurrentValueSubject<bool> m_allFilled{false};
    CurrentValueSubject<QStringList> m_validationMessages{QStringList()};
    const ValidationType m_validationType;
    const FormChanged m_onFormChanged;
};

} // namespace velmora
