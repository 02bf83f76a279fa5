// How long the app takes from main() to its first window on screen (offscreen), with an
// empty account store (the welcome window) and with five accounts (the main window),
// next to a bare QApplication showing an empty QMainWindow, measured the same way (and
// the same with one label, since the first text shown loads the font database).
//
// Every start is a process of its own: the benchmark runs itself again as a child,
// which measures from the first line of its main() to the first turn of the event loop
// after the window was shown, prints the time and exits. The accounts' tokens come
// from a keyring in memory, so no desktop keyring is asked.
#include "app/AppDelegate.h"
#include "app/Application.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/CredentialsManager.h"
#include "platform/keyring/Keyring.h"
#include "platform/store/ProviderStore.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

using namespace velmora;
using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point mainStarted;
std::string self;

// Every account has a token.
class AnyAccountKeyring : public Keyring {
public:
    Result<std::optional<QByteArray>, KeyringError> load(const QString&) override {
        return Result<std::optional<QByteArray>, KeyringError>::success(QByteArray(R"({"token":"token"})"));
    }
    Result<Void, KeyringError> store(const QString&, const QString&, const QByteArray&) override {
        return Result<Void, KeyringError>::success(Void{});
    }
    Result<bool, KeyringError> remove(const QString&) override {
        return Result<bool, KeyringError>::success(true);
    }
};

void printElapsed() {
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - mainStarted).count();
    std::printf("%.9f\n", seconds);
    std::fflush(stdout);
}

// An empty QMainWindow; with `withText` it shows one line of text, which is what makes
// Qt load the font database.
int bareChild(int argc, char** argv, bool withText) {
    QApplication application(argc, argv);
    QMainWindow window;
    if (withText) {
        window.setCentralWidget(new QLabel(QStringLiteral("Velmora")));
    }
    window.show();
    QTimer::singleShot(0, [] {
        printElapsed();
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}

int velmoraChild(int argc, char** argv) {
    CredentialsManager::setSharedKeyring(std::make_shared<AnyAccountKeyring>());
    return Application::run(argc, argv, [](AppDelegate& delegate) {
        QObject::connect(&delegate, &AppDelegate::firstWindowShown, [] {
            printElapsed();
            QCoreApplication::exit(0);
        });
    });
}

int prepareChild(int argc, char** argv, int accounts) {
    Application::setApplicationNames();
    QCoreApplication application(argc, argv);
    ProviderStore store(ProviderStore::defaultPath());
    for (int i = 0; i < accounts; ++i) {
        YouTrackProvider provider(std::nullopt, QStringLiteral("Account %1").arg(i),
                                  YouTrackProvider::Parameters{QStringLiteral("https://127.0.0.1:9")});
        ProviderEntity entity = provider.toEntity();
        entity.id = QUuid::createUuid();
        if (!store.insertProvider(entity).ok()) {
            return 1;
        }
    }
    std::printf("0\n");
    return 0;
}

// Runs the child in a folder of its own (as its home) and returns its measured seconds.
double runChild(const std::string& mode, const QString& home) {
    const std::string h = home.toStdString();
    const std::string command = "env HOME='" + h + "' XDG_CONFIG_HOME='" + h + "/config' XDG_DATA_HOME='" +
                                h + "/data' XDG_CACHE_HOME='" + h + "/cache' QT_QPA_PLATFORM=offscreen '" +
                                self + "' --child " + mode + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return -1;
    }
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = ::pclose(pipe);
    return read && status == 0 ? std::atof(line) : -1;
}

void measure(benchmark::State& state, const std::string& mode, const QString& home) {
    for (auto _ : state) {
        const double seconds = runChild(mode, home);
        if (seconds < 0) {
            state.SkipWithError("the child did not start");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

void BM_BareQMainWindow(benchmark::State& state) {
    QTemporaryDir home;
    measure(state, "bare", home.path());
}

void BM_BareQMainWindowWithText(benchmark::State& state) {
    QTemporaryDir home;
    measure(state, "bare-text", home.path());
}

void BM_VelmoraEmptyStore(benchmark::State& state) {
    QTemporaryDir home;
    measure(state, "velmora", home.path());
}

void BM_VelmoraFiveAccounts(benchmark::State& state) {
    QTemporaryDir home;
    if (runChild("prepare5", home.path()) != 0) {
        state.SkipWithError("the accounts could not be stored");
        return;
    }
    measure(state, "velmora", home.path());
}

BENCHMARK(BM_BareQMainWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_BareQMainWindowWithText)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_VelmoraEmptyStore)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_VelmoraFiveAccounts)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    mainStarted = SteadyClock::now();
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const std::string mode = argv[2];
        int childArgc = 1;
        if (mode == "bare" || mode == "bare-text") {
            return bareChild(childArgc, argv, mode == "bare-text");
        }
        if (mode == "velmora") {
            return velmoraChild(childArgc, argv);
        }
        if (mode == "prepare5") {
            return prepareChild(childArgc, argv, 5);
        }
        return 2;
    }
    self = argv[0];
    // The children start the app, which hands over to an app already running for this
    // user and ends at once; a socket name of the benchmark's own keeps them apart.
    qputenv("VELMORA_INSTANCE_NAME", QByteArray("velmora-startup-bench-") + QByteArray::number(::getpid()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
