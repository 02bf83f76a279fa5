#pragma once

#include <QValidator>

namespace velmora {

// Lets an input field know whether its text is clock text that TimeFormatter reads.
// Unreadable text stays editable (Intermediate): the field keeps what the user typed
// and the bound duration keeps its value until the text becomes readable.
class TimeFormatterValidator : public QValidator {
    Q_OBJECT

public:
    using QValidator::QValidator;

    State validate(QString& input, int& pos) const override;
};

} // namespace velmora
