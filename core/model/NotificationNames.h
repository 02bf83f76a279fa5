#pragma once

#include <QLatin1StringView>

namespace velmora {

// The names of the app-wide notices (posted on NotificationCenter::defaultCenter()
// from the main thread) and the object each carries.
namespace NotificationName {

// A JiraProvider::Credentials from the link that ends the Jira authorisation.
inline constexpr QLatin1StringView jiraCredentialsReceived{"JiraCredentialsReceived"};
// An AsanaProvider::Credentials from the link that ends the Asana authorisation.
inline constexpr QLatin1StringView asanaCredentialsReceived{"AsanaCredentialsReceived"};
// No object: the user stopped the timer; the booking sheet opens with its time.
inline constexpr QLatin1StringView timerCanceled{"TimerCanceled"};
// The Project of the booking form that saved an entry (not the entry).
inline constexpr QLatin1StringView timeEntrySaved{"TimeEntrySaved"};
// The selected Issue, or no object when no task is selected.
inline constexpr QLatin1StringView addManualWorkLog{"AddManualWorkLog"};
// The QUuid of a booking record whose seconds were returned to the user (the booking
// sheet opens to book them on its task), or a ReturnedTimeOnTask (on the task it names).
inline constexpr QLatin1StringView bookReturnedTime{"BookReturnedTime"};
// A SelectedTaskWanted: the shown project's selected task is wanted to book a record's
// seconds of no account on.
inline constexpr QLatin1StringView bookOnSelectedTask{"BookOnSelectedTask"};
// The QUuid of a booking record whose seconds went back onto the timer to be booked
// again now: the timer's booking sheet opens with the record's description.
inline constexpr QLatin1StringView bookAgainOnTimer{"BookAgainOnTimer"};
// The deleted WorkEntry.
inline constexpr QLatin1StringView worklogDeleted{"WorklogDeleted"};
// No object: the add-account link asks for the accounts page.
inline constexpr QLatin1StringView addAccount{"AddAccount"};
// A RateLimitInfo: the limited account's id and the wait in whole seconds.
inline constexpr QLatin1StringView providerRateLimited{"ProviderRateLimited"};

} // namespace NotificationName

} // namespace velmora
