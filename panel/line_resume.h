#pragma once
// Resume for a held line, in either window: "Resume line L?" asked first,
// then every hold of the line lifted off the UI thread, since the database
// may take its time to answer. The line's stations, the asking one too,
// hear that it goes on from the database itself.

#include "worker_job.h"

#include <QString>

#include <functional>
#include <string>

class QPushButton;
class QWidget;

namespace j4 {

class LineResume final {
public:
    // `button` is disabled while the line is being resumed; `said`: what
    // came of it, in the operator's words, on the UI thread.
    LineResume(QWidget* window, QPushButton* button, std::function<void(const QString&)> said)
        : window_(window), button_(button), said_(std::move(said)) {}

    void follow(std::string url, std::string line);
    // Asks, with `held` (why the line is held) under the question; once.
    void ask(const QString& held);
    bool running() const { return job_.running(); }

private:
    void resume();

    QWidget* window_;
    QPushButton* button_;
    std::function<void(const QString&)> said_;
    std::string url_;
    std::string line_;
    WorkerJob job_;
};

} // namespace j4
