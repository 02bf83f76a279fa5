#pragma once

#include "StateTestEnvironment.h"

#include "core/model/AnyProvider.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/store/ProviderStore.h"
#include "state/ApplicationViewModel.h"
#include "state/CalendarViewModel.h"
#include "state/ProjectViewModel.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeShellHooks.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

namespace velmora::test {

// The state objects on a real tracker service made by the service factory, talking
// to a fake tracker: an account store in a temporary folder, an in-memory keyring
// behind the shared credentials, the fake servers' CA trusted, the task list's
// defaults off (the round trip is about booking, not filters).
class EndToEndFixture : public ::testing::Test {
protected:
    EndToEndFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          snapshots(dir.filePath(QStringLiteral("Accounts.plist"))),
          manager(store, (CredentialsManager::setSharedKeyring(keyring), CredentialsManager::shared()),
                  snapshots) {
        m_previousManager = ProviderManager::setShared(&manager);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        state.settings->setShowUnresolvedTasksByDefault(false);
        state.settings->setShowMyTasksByDefault(false);
        state.settings->setPersistProjectFilters(false);
    }
    ~EndToEndFixture() override {
        drainEvents();
        ProviderManager::setShared(m_previousManager);
        SessionConfiguration::setProcessExtraCaCertificates({});
    }

    // What one round trip leaves to look at.
    struct RoundTrip {
        std::optional<WorkEntry> booked;
        int entriesAfterDelete = -1;
    };

    // Loads the account's projects and the tasks of `projectId`, books `seconds` on
    // `taskId` through the account's booking form (`fill` sets its own inputs), finds
    // the entry in the calendar week of the state clock, and deletes it there.
    RoundTrip bookAndDelete(const AnyProvider& account, const QString& projectId, const QString& taskId,
                            double seconds, const std::function<void(AbstractWorkLogForm&)>& fill = {}) {
        RoundTrip trip;
        ApplicationViewModel app(account, state.environment());
        EXPECT_TRUE(app.service()) << "the factory makes a service for the account";
        if (!app.service()) {
            return trip;
        }
        app.start();
        EXPECT_TRUE(waitUntil([&] { return !app.loadingProjects() && !app.projects().empty(); }, 10000));
        const auto project = std::find_if(app.projects().begin(), app.projects().end(),
                                          [&](const Project& p) { return p.id == projectId; });
        EXPECT_NE(project, app.projects().end()) << "project " << projectId.toStdString();
        if (project == app.projects().end()) {
            return trip;
        }

        ProjectViewModel tasks(app.service(), *project, providerUser(account), state.environment());
        EXPECT_TRUE(waitUntil([&] { return !tasks.loading() && !tasks.tasks().empty(); }, 10000));
        const auto task = std::find_if(tasks.tasks().begin(), tasks.tasks().end(),
                                       [&](const Issue& t) { return t.id == taskId; });
        EXPECT_NE(task, tasks.tasks().end()) << "task " << taskId.toStdString();
        if (task == tasks.tasks().end()) {
            return trip;
        }

        auto form = app.makeWorkLogForm(*project, *task, seconds);
        EXPECT_TRUE(form);
        if (!form) {
            return trip;
        }
        EXPECT_DOUBLE_EQ(form->duration(), seconds);
        if (fill) {
            fill(*form);
        }
        bool saved = false;
        // The YouTrack form is busy loading its work-item types at first.
        EXPECT_TRUE(waitUntil([&] { return !form->networkRequestInProgress(); }, 10000));
        form->save([&] { saved = true; });
        EXPECT_TRUE(waitUntil([&] { return saved || form->errorOccurred(); }, 10000));
        EXPECT_TRUE(saved) << "the booking was accepted";
        if (!saved) {
            return trip;
        }

        CalendarViewModel calendar(app.service(), state.environment());
        calendar.setCalendarMode(CalendarMode::sevenDays);
        EXPECT_TRUE(waitUntil([&] { return !calendar.isLoading(); }, 10000));
        const auto& entries = calendar.workEntries();
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const WorkEntry& e) { return e.issue.id == taskId; });
        EXPECT_NE(entry, entries.end()) << "the booking shows in the calendar";
        if (entry == entries.end()) {
            return trip;
        }
        trip.booked = *entry;

        // It is in its day, counted in the day's total.
        double dayTotal = -1;
        for (const auto& day : calendar.visibleDays(CalendarMode::sevenDays)) {
            if (std::any_of(day.workEntries.begin(), day.workEntries.end(),
                            [&](const WorkEntry& e) { return e.id == trip.booked->id; })) {
                dayTotal = day.totalTimeSpent;
            }
        }
        EXPECT_GE(dayTotal, trip.booked->spentTimeSeconds);

        calendar.deleteWorkEntry(*trip.booked);
        EXPECT_TRUE(calendar.isLoading());
        EXPECT_TRUE(waitUntil([&] { return !calendar.isLoading(); }, 10000));
        trip.entriesAfterDelete =
            static_cast<int>(std::count_if(calendar.workEntries().begin(), calendar.workEntries().end(),
                                           [&](const WorkEntry& e) { return e.id == trip.booked->id; }));
        return trip;
    }

    // The form the sidebar asks for when a work log is added by hand: no time yet.
    std::unique_ptr<AbstractWorkLogForm> manualForm(const AnyProvider& account, const Project& project,
                                                    const Issue& task) {
        ApplicationViewModel app(account, state.environment());
        auto form = app.makeWorkLogForm(project, task, 0);
        EXPECT_TRUE(form);
        if (form) {
            EXPECT_EQ(form->duration(), 0);
            EXPECT_EQ(form->project(), project);
            EXPECT_EQ(form->task(), task);
            // As the booking sheet's duration field does: it watches the outcomes.
            Cancellable view = form->durationValidation().publisher().subscribe([](const Validation&) {});
            EXPECT_FALSE(form->manager()->checkAllValid()) << "no time is not a booking";
            form->setDuration(60);
            EXPECT_TRUE(form->manager()->checkAllValid());
        }
        return form;
    }

    // Whether a form whose description is `length` characters (blanks around it not
    // counted) is valid.
    template <typename Form> static bool validWithDescription(Form& form, int length) {
        Cancellable view = form.descriptionValidation().publisher().subscribe([](const Validation&) {});
        form.setDescription(QStringLiteral("  ") + QStringLiteral("x").repeated(length) +
                            QStringLiteral("\t"));
        return form.manager()->checkAllValid();
    }

    QTemporaryDir dir;
    StateTestEnvironment state;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;

private:
    ProviderManager* m_previousManager = nullptr;
};

} // namespace velmora::test
