// Opens the log window on a full log (100 entries of 100 issues each), draws it, scrolls it from
// top to bottom one wheel step at a time, and prints the times and the process's memory.
// Run through bench/windows/run.sh (release build, offscreen).

#include "app/AppState.h"
#include "app/Localizer.h"
#include "app/Preferences.h"
#include "ui/windows/LogListView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace keelbox;

namespace {

// CPU time of this thread in milliseconds: what a frame costs whatever else the machine runs.
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// VmRSS or VmHWM of this process in MiB.
double memoryMiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').front().toDouble() / 1024;
    }
    return -1;
}

LogEntry fullEntry(int number, AppLanguage language) {
    LogEntry entry;
    entry.volume = "STICK-" + std::to_string(number);
    entry.kind = LogEntry::Kind::failure;
    entry.message = formatLocalized("ev.finishedErrors", language, {"1,204 files • 3.1 GB", 100});
    for (int i = 0; i < 100; ++i) {
        entry.details.push_back({"Photos/2024/Holidays/day-" + std::to_string(i % 14) + "/IMG_" +
                                     std::to_string(i) + ".jpg",
                                 localizedText("engine.noPerm", language),
                                 "Permission denied (EACCES)",
                                 localizedText("engine.noPermHint", language)});
    }
    return entry;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QTemporaryDir dir;
    auto preferences =
        std::make_shared<app::Preferences>(dir.filePath(QStringLiteral("preferences.ini")));
    app::Localizer localizer(preferences, {"en"});
    app::AppState state(app::AppServices{preferences, &localizer, {}, {}, {}, {}, {}});
    for (int i = 0; i < 100; ++i)
        state.appendLog(fullEntry(i, AppLanguage::english));
    const double before = memoryMiB("VmRSS:");

    QElapsedTimer timer;
    timer.start();
    const double openCpu = threadCpuMs();
    ui::LogWindow window(state, localizer);
    window.resize(560, 640);
    window.show();
    window.repaint();
    const qint64 opened = timer.elapsed();
    const double openedCpu = threadCpuMs() - openCpu;

    auto* rows = window.findChild<QTextBrowser*>();
    QScrollBar* bar = rows->verticalScrollBar();
    std::vector<double> frames;
    std::vector<double> cpuFrames;
    // One wheel notch: three lines.
    const int step = 3 * rows->fontMetrics().lineSpacing();
    // A frame is what the event loop does between two wheel notches: pending work (the rest of
    // the layout, in steps) and the repaint. At the end, wait for the layout to finish.
    int idle = 0;
    while (idle < 20) {
        QElapsedTimer frame;
        frame.start();
        const double cpu = threadCpuMs();
        QCoreApplication::processEvents();
        bar->setValue(bar->value() + step);
        rows->viewport()->repaint();
        frames.push_back(static_cast<double>(frame.nsecsElapsed()) / 1e6);
        cpuFrames.push_back(threadCpuMs() - cpu);
        if (bar->value() >= bar->maximum()) {
            ++idle;
            QThread::msleep(20);
        } else {
            idle = 0;
        }
    }
    if (qEnvironmentVariableIsSet("BENCH_VERBOSE")) {
        for (std::size_t i = 0; i < cpuFrames.size(); ++i)
            if (cpuFrames[i] > 50)
                std::printf("  frame %zu: CPU %.1f ms\n", i, cpuFrames[i]);
    }
    std::sort(frames.begin(), frames.end());
    std::sort(cpuFrames.begin(), cpuFrames.end());
    auto over50 = [](const std::vector<double>& times) {
        return static_cast<long>(
            std::count_if(times.begin(), times.end(), [](double ms) { return ms > 50; }));
    };
    std::printf("log window, 100 entries x 100 issues (offscreen)\n");
    std::printf("  opened and drawn:    %lld ms (CPU %.0f ms)\n", static_cast<long long>(opened),
                openedCpu);
    std::printf("  scrolled to the end: %zu frames; wall median %.1f ms, longest %.1f ms, %ld over "
                "50 ms; CPU longest %.1f ms, %ld over 50 ms\n",
                frames.size(), frames[frames.size() / 2], frames.back(), over50(frames),
                cpuFrames.back(), over50(cpuFrames));
    std::printf("  resident memory:         %.1f MiB (%.1f MiB before the window, peak %.1f MiB)\n",
                memoryMiB("VmRSS:"), before, memoryMiB("VmHWM:"));
    return 0;
}
