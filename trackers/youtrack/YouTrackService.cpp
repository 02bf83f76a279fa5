#include "trackers/youtrack/YouTrackService.h"

#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/storage/CredentialLoading.h"
#include "platform/notifications/NotificationCenter.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <set>
#include <string>

namespace velmora {

namespace {

QString trimmedBase(const QString& baseUrl) {
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return base;
}

// A brace closes a braced value of the query language, and the language has no
// escape for it: a "}" typed into the search would end the summary filter and let
// the rest of the text run as query. It becomes a blank, which splits words just as
// the search would.
QString braceSafe(const QString& text) {
    QString safe = text;
    safe.replace(QLatin1Char('}'), QLatin1Char(' '));
    return safe;
}

// Names in the order the platform's ordinary text comparison gives: by Unicode
// scalar values of the canonically composed text, case-sensitive.
std::u32string sortKey(const QString& name) {
    return name.normalized(QString::NormalizationForm_C).toStdU32String();
}

QueryItems withPaging(QueryItems items, std::int64_t top, std::int64_t skip) {
    items.push_back({QStringLiteral("$top"), QString::number(top)});
    items.push_back({QStringLiteral("$skip"), QString::number(skip)});
    return items;
}

const YouTrackTaskDTO::CustomField* firstFieldOfType(const YouTrackTaskDTO& task, const QString& type,
                                                     const QString& otherType = QString()) {
    auto it = std::find_if(task.customFields.begin(), task.customFields.end(),
                           [&](const YouTrackTaskDTO::CustomField& field) {
                               return field.type == type || (!otherType.isEmpty() && field.type == otherType);
                           });
    return it == task.customFields.end() ? nullptr : &*it;
}

} // namespace

YouTrackService::YouTrackService(YouTrackProvider provider, std::shared_ptr<APIRequest> request)
    : m_provider(std::move(provider)), m_request(std::move(request)),
      m_rateLimit(std::make_shared<RateLimitGuard>()) {
    Q_ASSERT(m_request);
}

template <typename T>
Publisher<T, APIError> YouTrackService::announcingRateLimit(Publisher<T, APIError> publisher,
                                                            std::shared_ptr<RateLimitGuard> guard,
                                                            std::optional<QUuid> id) {
    return publisher.handleEvents({}, [guard, id](const APIError& error) {
        if (!error.is(APIError::Kind::RateLimited) || !id) {
            return;
        }
        // The window of the account shows the wait and brings the content back after it.
        const RateLimitInfo info{*id, guard->record(error)};
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app,
                [info] {
                    NotificationCenter::defaultCenter().post(QString(NotificationName::providerRateLimited),
                                                             info);
                },
                Qt::QueuedConnection);
        }
    });
}

template <typename T>
Publisher<T, APIError> YouTrackService::handleRejectedToken(Publisher<T, APIError> publisher) const {
    const std::optional<QUuid> id = m_provider.id();
    return publisher.handleEvents({}, [id](const APIError& error) {
        if (!error.is(APIError::Kind::Unauthorized) || !id) {
            return;
        }
        // Later, on the main thread: the failure may arrive inside the account
        // store's own work, and the store and the shell are main-thread objects.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            const QUuid accountId = *id;
            QMetaObject::invokeMethod(
                app, [accountId] { markMissingCredentials(accountId); }, Qt::QueuedConnection);
        }
    });
}

template <typename DTO, typename Item>
APIPaginator<YouTrackService::Config<DTO, Item>>
YouTrackService::paginator(const YouTrackEndpoint& endpoint, const QueryItems& queryItems,
                           std::function<Item(const DTO&)> map) const {
    Config<DTO, Item> config;
    config.pageSize = pageSize;
    config.initialSkip = 0;
    config.isLastPage = [](const std::vector<DTO>& page) {
        return static_cast<std::int64_t>(page.size()) < pageSize;
    };
    config.calculateNextSkip = [](const std::int64_t& skip, const std::vector<DTO>& page) {
        return skip + static_cast<std::int64_t>(page.size());
    };
    config.extractItems = [map = std::move(map)](const std::vector<DTO>& page) {
        if constexpr (std::is_same_v<DTO, Item>) {
            if (!map) {
                return page;
            }
        }
        std::vector<Item> items;
        items.reserve(page.size());
        for (const auto& record : page) {
            items.push_back(map(record));
        }
        return items;
    };
    auto request = m_request;
    return APIPaginator<Config<DTO, Item>>(
        std::move(config), [request, endpoint, queryItems, guard = m_rateLimit,
                            id = m_provider.id()](std::int64_t top, const std::int64_t& skip) {
            return announcingRateLimit(request->perform<std::vector<DTO>>(endpoint, HttpMethod::Get,
                                                                          withPaging(queryItems, top, skip)),
                                       guard, id);
        });
}

Publisher<ProviderUser, APIError> YouTrackService::fetchUser() {
    const QString baseUrl = m_provider.parameters().baseUrl;
    auto user = m_request
                    ->perform<YouTrackUserDTO>(YouTrackEndpoint::user(), HttpMethod::Get,
                                               QueryItems{{QStringLiteral("fields"), userFields}})
                    .map([baseUrl](const YouTrackUserDTO& dto) {
                        return ProviderUser{dto.login, dto.fullName, resolveAvatar(baseUrl, dto.avatarUrl)};
                    });
    return handleRejectedToken(announcingRateLimit(std::move(user), m_rateLimit, m_provider.id()));
}

Publisher<YouTrackTimeTrackingSettingsDTO, APIError>
YouTrackService::fetchTimeTrackingSettings(const QString& projectId) {
    return handleRejectedToken(
        announcingRateLimit(m_request->perform<YouTrackTimeTrackingSettingsDTO>(
                                YouTrackEndpoint::timeTrackingSettings(projectId), HttpMethod::Get,
                                QueryItems{{QStringLiteral("fields"), settingsFields}}),
                            m_rateLimit, m_provider.id()));
}

Publisher<std::vector<Project>, APIError> YouTrackService::fetchProjects() {
    auto pages = paginator<YouTrackProjectDTO>(YouTrackEndpoint::projects(),
                                               QueryItems{{QStringLiteral("fields"), projectFields}});
    auto request = m_request;
    auto projects = pages.fetchAll().flatMap([request, guard = m_rateLimit, id = m_provider.id()](
                                                 const std::vector<YouTrackProjectDTO>& records) {
        std::vector<Publisher<Project, APIError>> withSettings;
        withSettings.reserve(records.size());
        for (const auto& record : records) {
            Project project{record.id, record.shortName, record.name, {false, true, true, true}, {}};
            auto settings =
                announcingRateLimit(request->perform<YouTrackTimeTrackingSettingsDTO>(
                                        YouTrackEndpoint::timeTrackingSettings(record.id), HttpMethod::Get,
                                        QueryItems{{QStringLiteral("fields"), settingsFields}}),
                                    guard, id);
            withSettings.push_back(settings
                                       .map([project](const YouTrackTimeTrackingSettingsDTO& dto) {
                                           Project withTracking = project;
                                           withTracking.configuration.timeTrackingEnabled = dto.enabled;
                                           return withTracking;
                                       })
                                       // Settings the user may not read (403) say nothing about the
                                       // project itself: it is listed, without time tracking.
                                       .catchError([project](const APIError& error) {
                                           return error.is(APIError::Kind::Validation)
                                                      ? Publisher<Project, APIError>::just(project)
                                                      : Publisher<Project, APIError>::fail(error);
                                       }));
        }
        return whenAll(std::move(withSettings), maxConcurrentSettingsRequests)
            .map([](std::vector<Project> list) {
                std::vector<std::pair<std::u32string, Project>> keyed;
                keyed.reserve(list.size());
                for (auto& project : list) {
                    keyed.emplace_back(sortKey(project.name), std::move(project));
                }
                std::stable_sort(keyed.begin(), keyed.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
                std::vector<Project> sorted;
                sorted.reserve(keyed.size());
                for (auto& entry : keyed) {
                    sorted.push_back(std::move(entry.second));
                }
                return sorted;
            });
    });
    return handleRejectedToken(std::move(projects));
}

Publisher<std::vector<Issue::State>, APIError> YouTrackService::fetchStates(const Project&) {
    auto pages = paginator<YouTrackStateBundleDTO>(YouTrackEndpoint::states(),
                                                   QueryItems{{QStringLiteral("fields"), stateFields}});
    auto states = pages.fetchAll().map([](const std::vector<YouTrackStateBundleDTO>& bundles) {
        std::vector<Issue::State> out;
        if (bundles.empty()) {
            return out;
        }
        out.push_back(Issue::State::unresolved());
        for (const auto& value : bundles.front().values) {
            out.push_back(Issue::State{value.name, value.name});
        }
        return out;
    });
    return handleRejectedToken(std::move(states));
}

Publisher<std::vector<User>, APIError> YouTrackService::fetchAssignees(const Project& project) {
    auto pages = paginator<YouTrackUserBundleDTO>(YouTrackEndpoint::assignees(),
                                                  QueryItems{{QStringLiteral("fields"), assigneeFields}});
    const QString projectId = project.id;
    const QString baseUrl = m_provider.parameters().baseUrl;
    auto users =
        pages.fetchAll().map([projectId, baseUrl](const std::vector<YouTrackUserBundleDTO>& bundles) {
            std::vector<User> out;
            std::set<QString> seen;
            for (const auto& bundle : bundles) {
                const bool serves = std::any_of(
                    bundle.groups.begin(), bundle.groups.end(), [&](const YouTrackUserBundleDTO::Group& g) {
                        return !g.teamForProject || g.teamForProject->id == projectId;
                    });
                if (!serves) {
                    continue;
                }
                for (const auto& user : bundle.aggregatedUsers) {
                    if (!seen.insert(user.login).second) {
                        continue;
                    }
                    const QString avatar = resolveAvatar(baseUrl, user.avatarUrl);
                    out.push_back(User{user.login, user.fullName,
                                       avatar.isEmpty() ? std::nullopt : std::optional<QString>(avatar)});
                }
            }
            return out;
        });
    return handleRejectedToken(std::move(users));
}

AnyPaginator<Issue> YouTrackService::fetchTasks(const Project& project, const std::optional<QString>& search,
                                                const std::optional<Issue::State>& state,
                                                const std::optional<User>& assignee) {
    const QueryItems items{
        {QStringLiteral("query"), searchQuery(project, search, state, assignee)},
        {QStringLiteral("fields"), issueFields},
        {QStringLiteral("customFields"), QStringLiteral("state")},
        {QStringLiteral("customFields"), QStringLiteral("spent time")},
        {QStringLiteral("customFields"), QStringLiteral("assignee")},
    };
    const QString baseUrl = m_provider.parameters().baseUrl;
    // No rejected-token handling: a refused search says nothing final about the
    // account, and the task list reports it as it is.
    return AnyPaginator<Issue>(paginator<YouTrackTaskDTO, Issue>(
        YouTrackEndpoint::tasks(), items,
        [baseUrl](const YouTrackTaskDTO& task) { return issueFrom(task, baseUrl); }));
}

Publisher<std::vector<WorkEntry>, APIError> YouTrackService::fetchWorkEntries(const DateInterval& interval) {
    if (!interval.start.isValid() || !interval.end.isValid()) {
        return Publisher<std::vector<WorkEntry>, APIError>::fail(APIError::unknown());
    }
    const QueryItems items{
        {QStringLiteral("start"), QString::number(interval.start.toMSecsSinceEpoch())},
        {QStringLiteral("end"), QString::number(interval.end.toMSecsSinceEpoch())},
        {QStringLiteral("fields"), workItemFields},
        {QStringLiteral("author"), QStringLiteral("me")},
    };
    auto entries = paginator<YouTrackWorkEntryDTO, WorkEntry>(
                       YouTrackEndpoint::workItems(), items,
                       [](const YouTrackWorkEntryDTO& entry) { return workEntryFrom(entry); })
                       .fetchAll();
    return handleRejectedToken(std::move(entries));
}

Publisher<std::vector<WorkEntry>, APIError>
YouTrackService::fetchOwnWorkEntries(const Issue& task, const DateInterval& interval) {
    if (!interval.start.isValid() || !interval.end.isValid()) {
        return Publisher<std::vector<WorkEntry>, APIError>::fail(APIError::unknown());
    }
    QueryItems items{
        {QStringLiteral("start"), QString::number(interval.start.toMSecsSinceEpoch())},
        {QStringLiteral("end"), QString::number(interval.end.toMSecsSinceEpoch())},
        {QStringLiteral("fields"), workItemFieldsWithCreation},
        {QStringLiteral("author"), QStringLiteral("me")},
    };
    if (const auto query = issueQuery(task)) {
        items.push_back({QStringLiteral("query"), *query});
    }
    // Whose items they are is checked against the account's login: a colleague's item
    // of the same minutes must never pass for the user's own.
    const auto& owner = m_provider.user();
    auto login = owner && !owner->externalId.isEmpty()
                     ? Publisher<QString, APIError>::just(owner->externalId)
                     : fetchUser().map([](const ProviderUser& user) { return user.externalId; });
    auto pages = paginator<YouTrackWorkEntryDTO>(YouTrackEndpoint::workItems(), items);
    const QString taskId = task.id;
    auto entries = login.flatMap([pages, taskId, interval](const QString& me) {
        // A copy shares the paginator's state: each check reads its own pages.
        auto read = pages;
        return read.fetchAll().map([taskId, interval, me](const std::vector<YouTrackWorkEntryDTO>& records) {
            std::vector<WorkEntry> own;
            for (const auto& record : records) {
                if (record.issue.id != taskId || !record.author || me.isEmpty() ||
                    record.author->login != me) {
                    continue;
                }
                WorkEntry entry = workEntryFrom(record);
                if (interval.contains(entry.started)) {
                    own.push_back(std::move(entry));
                }
            }
            return own;
        });
    });
    return handleRejectedToken(std::move(entries));
}

std::optional<QString> YouTrackService::issueQuery(const Issue& task) {
    // A project's short name, a dash and a number: nothing the query language would
    // read as anything else.
    static const QRegularExpression readable(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*-[0-9]+$"));
    if (!task.reference || !readable.match(*task.reference).hasMatch()) {
        return std::nullopt;
    }
    return QStringLiteral("issue ID: ") + *task.reference;
}

Publisher<Void, APIError> YouTrackService::deleteWorkEntry(const WorkEntry& entry) {
    return m_request->perform<Void>(YouTrackEndpoint::deleteWorkItem(entry), HttpMethod::Delete);
}

QString YouTrackService::searchQuery(const Project& project, const std::optional<QString>& search,
                                     const std::optional<Issue::State>& state,
                                     const std::optional<User>& assignee) {
    QString query = QStringLiteral("project: ") + project.shortName;
    if (search && !search->isEmpty()) {
        const QString text = braceSafe(*search);
        if (!text.trimmed().isEmpty()) {
            query += QStringLiteral(" summary: {") + text + QLatin1Char('}');
        }
    }
    if (state) {
        query += QStringLiteral(" State: {") + braceSafe(state->id) + QLatin1Char('}');
    }
    if (assignee) {
        query += QStringLiteral(" Assignee: ") + assignee->id;
    }
    return query;
}

QString YouTrackService::resolveAvatar(const QString& baseUrl, const QString& avatarUrl) {
    if (avatarUrl.isEmpty()) {
        return avatarUrl;
    }
    if (avatarUrl.startsWith(QLatin1String("//"))) {
        return QStringLiteral("https:") + avatarUrl;
    }
    if (!QUrl(avatarUrl).scheme().isEmpty()) {
        return avatarUrl;
    }
    const QString path = avatarUrl.startsWith(QLatin1Char('/')) ? avatarUrl : QLatin1Char('/') + avatarUrl;
    return QStringLiteral("https://") + trimmedBase(baseUrl) + path;
}

Issue YouTrackService::issueFrom(const YouTrackTaskDTO& task, const QString& baseUrl) {
    Issue issue;
    issue.id = task.id;
    issue.reference = task.idReadable;
    issue.name = task.summary;
    if (!task.wikifiedDescription.isEmpty()) {
        issue.description = task.wikifiedDescription;
    }
    if (const auto* field = firstFieldOfType(task, stateFieldType);
        field && field->value && field->value->name) {
        issue.state = Issue::State{field->value->id, *field->value->name};
    }
    if (const auto* field = firstFieldOfType(task, spentTimeFieldType);
        field && field->value && field->value->presentation) {
        issue.spentTime = *field->value->presentation;
    }
    if (const auto* field = firstFieldOfType(task, assigneeFieldType, multiAssigneeFieldType);
        field && field->value && field->value->name) {
        User user{field->value->id, *field->value->name, std::nullopt};
        if (field->value->avatarUrl) {
            const QString avatar = resolveAvatar(baseUrl, *field->value->avatarUrl);
            if (!avatar.isEmpty()) {
                user.avatar = avatar;
            }
        }
        issue.assignee = std::move(user);
    }
    const QUrl link(QStringLiteral("https://") + trimmedBase(baseUrl) + QStringLiteral("/issue/") +
                        Endpoint::segment(task.idReadable),
                    QUrl::StrictMode);
    if (link.isValid() && !link.host().isEmpty()) {
        issue.externalUrl = link;
    }
    return issue;
}

WorkEntry YouTrackService::workEntryFrom(const YouTrackWorkEntryDTO& entry) {
    WorkEntry out;
    out.id = entry.id;
    if (entry.text && !entry.text->isEmpty()) {
        out.description = *entry.text;
    }
    out.spentTime = entry.duration.presentation;
    out.spentTimeSeconds = static_cast<double>(entry.duration.minutes) * 60.0;
    out.issue.id = entry.issue.id;
    out.issue.reference = entry.issue.idReadable;
    out.issue.name = entry.issue.summary;
    // Whole seconds, cut toward zero: the calendar shows no milliseconds.
    out.started = QDateTime::fromSecsSinceEpoch(entry.date / 1000, Qt::UTC);
    if (entry.created) {
        const QDateTime created = QDateTime::fromMSecsSinceEpoch(*entry.created, Qt::UTC);
        if (created.isValid()) {
            out.created = created;
        }
    }
    return out;
}

} // namespace velmora
