#pragma once

#include "core/model/JiraProvider.h"
#include "core/time/AbstractWorkLogForm.h"
#include "core/time/InteractsWithProvider.h"
#include "platform/async/Stream.h"
#include "trackers/jira/JiraDTOs.h"
#include "trackers/jira/JiraService.h"
#include "validation/CountValidator.h"
#include "validation/FormField.h"
#include "validation/ValidationContainer.h"

#include <QString>

#include <memory>
#include <optional>

namespace velmora {

// The booking form of a Jira account: the duration of the base plus a description,
// booked on the task as a new work log whose comment is the description. The save
// goes straight to the service's current client through its rate-limit guard: a 401
// or a 429 ends as a failed save (`errorOccurred`), without a token refresh.
class JiraWorkLogForm : public AbstractWorkLogForm, public InteractsWithProvider<JiraProvider, JiraService> {
    Q_OBJECT

public:
    static constexpr qint64 maximumDescriptionLength = 10000;
    static inline const QString descriptionTooLong = QStringLiteral("Description is too long.");

    JiraWorkLogForm(JiraProvider provider, std::shared_ptr<JiraService> service, Project project, Issue task,
                    double duration, QObject* parent = nullptr);

    const JiraProvider& provider() const override { return m_provider; }
    JiraService& service() const override { return *m_service; }

    // Writing publishes the text; it is judged through descriptionValidation().
    const QString& description() const { return m_description.value(); }
    void setDraftDescription(const QString& description) override { setDescription(description); }
    // Whether Jira's answer to a booking is the work log it made for it: the id, on the
    // task, with the seconds booked, and the start sent to the millisecond (Jira's answer
    // always gives it): an answer repeated from an earlier booking of the same time started
    // earlier, and one without a start proves nothing.
    static bool provesEntry(const JiraCreatedWorkLogDTO& answer, const QString& taskId, std::int64_t seconds,
                            const QDateTime& started);
    void setDescription(QString description) { m_description.setValue(std::move(description)); }
    // The current description on subscription, then every one assigned.
    Stream<QString> descriptionStream() const { return m_description.projectedValue(); }

    // The description's validation, bound to the manager current at the first call;
    // built once, so the description is registered with the manager only once.
    const ValidationContainer& descriptionValidation();

    // The description input with its message ("Description is too long."); building
    // it builds the validation. The caller owns the widget.
    QWidget* additionalFields(QWidget* parent) override;

    // Books the duration with the description when the whole form is valid; otherwise
    // does nothing.
    QString trackerName() const override { return QStringLiteral("Jira"); }
    void openConnectionAhead() override { m_service->request()->openConnectionAhead(); }
    void save(std::function<void()> completion) override;

    // The body of a booking made at `bookedAt`: whole seconds (the fraction dropped),
    // the work's start (`bookedAt` less those seconds) and, unless the text is empty,
    // the description exactly as typed as the comment. None for a duration that is not
    // a finite number of seconds within 64 bits: such a booking is not sent.
    static std::optional<JiraWorkItemDTO> workItem(const QString& description, double duration,
                                                   const QDateTime& bookedAt);

protected:
    std::optional<Publisher<std::vector<WorkEntry>, APIError>>
    readOwnEntries(const DateInterval& interval) override;
    std::optional<ClockOffset> currentTrackerClock() const override;

private:
    JiraProvider m_provider;
    std::shared_ptr<JiraService> m_service;
    FormField<QString, CountValidator> m_description;
    std::optional<ValidationContainer> m_descriptionValidation;
};

} // namespace velmora
