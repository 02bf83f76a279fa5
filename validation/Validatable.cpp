#include "validation/Validatable.h"

namespace velmora {

Validatable::Validatable(MessageSource message) : m_message(std::move(message)) {
    if (!m_message) {
        m_message = [] { return QString(); };
    }
}

void Validatable::observe(bool isDisabled, bool showsError) {
    if (isDisabled) {
        m_subject.send(Validation::success());
        return;
    }
    const Validation outcome = validate();
    m_subject.send(showsError ? outcome : Validation::success());
    notify(outcome);
}

void Validatable::notify(const Validation& validation) {
    // A copy: observers added while we walk are first called next time.
    const std::vector<Observer> observers = m_onChanged;
    for (const auto& observer : observers) {
        if (observer) {
            observer(validation);
        }
    }
}

void Validatable::addOnChanged(Observer observer) {
    m_onChanged.push_back(std::move(observer));
}

} // namespace velmora
