#pragma once

#include "core/model/YouTrackProvider.h"
#include "core/time/AbstractWorkLogForm.h"
#include "core/time/InteractsWithProvider.h"
#include "trackers/youtrack/YouTrackDTOs.h"
#include "trackers/youtrack/YouTrackService.h"
#include "validation/CountValidator.h"
#include "validation/FormField.h"
#include "validation/ValidationContainer.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// The booking form of one YouTrack task: the duration of the base form, a
// description and a choice among the project's work-item types, booked as a
// YouTrack work item. The types load as the form is made; nothing is chosen until
// the user picks one, and a booking without a type is fine.
//
// The form is busy (`networkRequestInProgress`) while its type load or its booking
// runs. A second save while one is pending is ignored, so one press cannot book
// twice. Main thread only.
class YouTrackWorkLogForm final : public AbstractWorkLogForm,
                                  public InteractsWithProvider<YouTrackProvider, YouTrackService> {
    Q_OBJECT
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(QString description READ description WRITE setDescription NOTIFY descriptionChanged)

public:
    using WorkItemType = YouTrackTimeTrackingSettingsDTO::WorkItemType;

    static inline const QString descriptionMessage = QStringLiteral("Description is too long.");
    static constexpr qint64 descriptionLimit = 10000;

    YouTrackWorkLogForm(YouTrackProvider provider, std::shared_ptr<YouTrackService> service, Project project,
                        Issue task, double duration, QObject* parent = nullptr);
    ~YouTrackWorkLogForm() override;

    const YouTrackProvider& provider() const override { return m_provider; }
    YouTrackService& service() const override { return *m_service; }

    // The work-item types offered, in the tracker's order.
    const std::vector<WorkItemType>& types() const { return m_types; }
    // The id of the chosen type; empty for none.
    const QString& type() const { return m_type; }
    void setType(const QString& type);

    const QString& description() const { return m_description.value(); }
    void setDraftDescription(const QString& description) override { setDescription(description); }
    // Whether YouTrack's answer to a booking is the work item it made for it: a work item
    // ("$type" IssueWorkItem), with the minutes booked, of the task booked (the answer is asked
    // to name it; one that does not, or names another, is no proof).
    static bool provesEntry(const YouTrackCreatedWorkItemDTO& answer, const QString& taskId, std::int64_t minutes);
    void setDescription(const QString& description);
    const FormField<QString, CountValidator>& descriptionField() const { return m_description; }

    // The description's validation, bound to the form's manager on first use (which
    // registers the length rule with it) and kept.
    const ValidationContainer& descriptionValidation();

    static inline const QString workItemTypesLoadFailure =
        QStringLiteral("Couldn't load the work item types.");

    // Loads the project's work-item types (the constructor does) unless a load runs; a
    // failure is kept as the inputs' load failure and leaves the list as it was.
    void loadWorkItemTypes();
    void retryInputsLoad() override;
    bool hasTimeTrackingSettingsDisposable() const { return m_timeTrackingSettingsDisposable.has_value(); }

    // The "Type" choice and the "Description" input, bound to this form.
    QWidget* additionalFields(QWidget* parent) override;

    // Books the work item when the form is valid; `completion` runs once the
    // tracker accepted it. Ignored while a booking is pending.
    QString trackerName() const override { return QStringLiteral("YouTrack"); }
    void openConnectionAhead() override { m_service->request()->openConnectionAhead(); }
    void save(std::function<void()> completion) override;

    // Setting the flag to false while one of the form's requests still runs keeps
    // it set: the sheet must not look idle while anything is in flight.
    void setNetworkRequestInProgress(bool inProgress) override;

    // The whole minutes booked for a duration in seconds: whole seconds first, then
    // whole minutes, both cut toward zero (119.9 s book 1 minute); absent for a
    // duration that is negative, not finite or out of range.
    static std::optional<std::int64_t> bookedMinutes(double seconds);

signals:
    void typesChanged();
    void typeChanged(const QString& type);
    void descriptionChanged(const QString& description);

protected:
    std::optional<Publisher<std::vector<WorkEntry>, APIError>>
    readOwnEntries(const DateInterval& interval) override;
    std::optional<ClockOffset> currentTrackerClock() const override;

private:
    void setTypes(std::vector<WorkItemType> types);
    void finishTypeLoad(const std::optional<APIError>& error);
    bool ownRequestPending() const;

    YouTrackProvider m_provider;
    std::shared_ptr<YouTrackService> m_service;
    std::vector<WorkItemType> m_types;
    QString m_type;
    FormField<QString, CountValidator> m_description;
    std::optional<ValidationContainer> m_descriptionValidation;
    std::optional<Cancellable> m_timeTrackingSettingsDisposable;
};

} // namespace velmora
