// Plays the operator inside the real Savro2 program, loaded with LD_PRELOAD
// by the tests that kill and restart it. Nothing of the register is linked
// in: the window is found through Qt's object tree.
//
// Environment:
//   SAVRO2_DRIVER_ANSWER  yes | no: the button clicked in every message box
//   SAVRO2_DRIVER_POLL    1: click the poll button once the window is shown
// Lines on stdout: "BOX <text>" for each box answered, "SHOWN" once the
// window is up with no box open, "POLLING" after the click, and for a "dump"
// line on stdin one "ROW <cells of columns 0 to 31 joined by |>" per table
// row below the titles, then "DUMPED".
// Other lines on stdin: "windows" answers "WINDOWS <visible main windows>
// <minimized|normal>"; "minimize" minimises the window ("MINIMIZED"); "later"
// moves the wall clock of the program past the two minutes between records
// ("LATER"), as an operator waiting for the next measurement would.
#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QCoreApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

// Seconds added to the wall clock; monotonic clocks (timers, time-outs) are
// left alone.
std::atomic<long long> gClockShift{0};
constexpr long long kLaterSeconds = 2 * 60 + 1;

void Emit(const QString& line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class TAppDriver : public QObject {
public:
    explicit TAppDriver(QObject* parent) : QObject(parent), stdin_(STDIN_FILENO, QSocketNotifier::Read) {
        answer_ = qgetenv("SAVRO2_DRIVER_ANSWER") == "no" ? QMessageBox::No : QMessageBox::Yes;
        poll_ = qgetenv("SAVRO2_DRIVER_POLL") == "1";
        connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
        timer_.start(20);
        connect(&stdin_, &QSocketNotifier::activated, this, [this] { ReadStdin(); });
    }

private:
    void Tick() {
        const auto widgets = QApplication::topLevelWidgets();
        for (QWidget* w : widgets) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            Emit(QStringLiteral("BOX ") + box->text().replace(u'\n', u' '));
            QAbstractButton* button = box->button(answer_);
            if (!button)
                button = box->buttons().value(0);
            if (button)
                button->click();
            return;
        }
        QMainWindow* window = MainWindow();
        if (!window || !window->isVisible())
            return;
        if (!shown_) {
            shown_ = true;
            Emit(QStringLiteral("SHOWN"));
        }
        if (poll_ && !polled_) {
            if (auto* button = window->findChild<QToolButton*>(QStringLiteral("ToolButton7"))) {
                polled_ = true;
                button->click();
                Emit(QStringLiteral("POLLING"));
            }
        }
    }

    static QMainWindow* MainWindow() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<QMainWindow*>(w))
                return window;
        return nullptr;
    }

    void ReadStdin() {
        char buf[256];
        const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
        if (got <= 0) {
            stdin_.setEnabled(false);
            return;
        }
        input_.append(buf, got);
        qsizetype nl;
        while ((nl = input_.indexOf('\n')) >= 0) {
            const QByteArray line = input_.left(nl).trimmed();
            input_.remove(0, nl + 1);
            if (line == "dump") {
                Dump();
            } else if (line == "windows") {
                int visible = 0;
                for (QWidget* w : QApplication::topLevelWidgets())
                    visible += qobject_cast<QMainWindow*>(w) && w->isVisible() ? 1 : 0;
                QMainWindow* window = MainWindow();
                const bool minimized = window && window->isMinimized();
                Emit(QStringLiteral("WINDOWS %1 %2")
                         .arg(visible)
                         .arg(minimized ? QStringLiteral("minimized") : QStringLiteral("normal")));
            } else if (line == "minimize") {
                if (QMainWindow* window = MainWindow())
                    window->showMinimized();
                Emit(QStringLiteral("MINIMIZED"));
            } else if (line == "later") {
                gClockShift += kLaterSeconds;
                Emit(QStringLiteral("LATER"));
            }
        }
    }

    void Dump() {
        QMainWindow* window = MainWindow();
        auto* grid = window ? window->findChild<QTableView*>(QStringLiteral("MainGrid")) : nullptr;
        if (grid && grid->model()) {
            const QAbstractItemModel* model = grid->model();
            for (int r = 0; r < model->rowCount(); ++r) {
                QStringList cells{model->headerData(r, Qt::Vertical).toString()};
                for (int c = 0; c < model->columnCount(); ++c)
                    cells << model->index(r, c).data().toString();
                Emit(QStringLiteral("ROW ") + cells.join(u'|'));
            }
        }
        Emit(QStringLiteral("DUMPED"));
    }

    QTimer timer_;
    QSocketNotifier stdin_;
    QByteArray input_;
    QMessageBox::StandardButton answer_ = QMessageBox::Yes;
    bool poll_ = false;
    bool shown_ = false;
    bool polled_ = false;
};

void StartDriver() {
    // Runs while the application object is being built; the driver starts
    // with the first event loop (the restore prompt may be that loop).
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] { new TAppDriver(QCoreApplication::instance()); }, Qt::QueuedConnection);
}

struct TInstall {
    TInstall() { qAddPreRoutine(StartDriver); }
} install;

} // namespace

// The wall clock as the program reads it, shifted by "later".
extern "C" int clock_gettime(clockid_t clock, struct timespec* tp) noexcept {
    using TFn = int (*)(clockid_t, struct timespec*);
    static const auto real = reinterpret_cast<TFn>(::dlsym(RTLD_NEXT, "clock_gettime"));
    const int rc = real(clock, tp);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        tp->tv_sec += gClockShift.load();
    return rc;
}

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict tz) noexcept {
    using TFn = int (*)(struct timeval*, void*);
    static const auto real = reinterpret_cast<TFn>(::dlsym(RTLD_NEXT, "gettimeofday"));
    const int rc = real(tv, tz);
    if (rc == 0)
        tv->tv_sec += gClockShift.load();
    return rc;
}
