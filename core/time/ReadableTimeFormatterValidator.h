#pragma once

#include <QValidator>

namespace velmora {

// Lets an input field know whether its text is a readable duration ("1h 30m") that
// ReadableTimeFormatter reads. Unreadable text stays editable (Intermediate): the
// field keeps what the user typed and the bound duration keeps its value.
class ReadableTimeFormatterValidator : public QValidator {
    Q_OBJECT

public:
    using QValidator::QValidator;

    State validate(QString& input, int& pos) const override;
};

} // namespace velmora
