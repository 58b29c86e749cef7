#include "line_resume.h"

#include "line_follower.h"

#include <QMessageBox>
#include <QPushButton>

namespace j4 {

void LineResume::follow(std::string url, std::string line) {
    url_ = std::move(url);
    line_ = std::move(line);
}

void LineResume::ask(const QString& held) {
    if (line_.empty() || window_->findChild<QMessageBox*>(QStringLiteral("resumeQuestion")))
        return;
    const QString name = QString::fromStdString(line_);
    auto* box = new QMessageBox(QMessageBox::Question, window_->windowTitle(),
                                QStringLiteral("Resume line %1?").arg(name),
                                QMessageBox::Yes | QMessageBox::No, window_);
    box->setInformativeText(QStringLiteral("%1\nEvery station of the line goes on.").arg(held));
    box->setObjectName(QStringLiteral("resumeQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setDefaultButton(QMessageBox::No);
    QObject::connect(box, &QMessageBox::buttonClicked, window_,
                     [this, box](QAbstractButton* button) {
                         if (box->standardButton(button) == QMessageBox::Yes)
                             resume();
                     });
    box->open();
}

void LineResume::resume() {
    if (job_.running())
        return;
    button_->setEnabled(false);
    job_.start(window_, [url = url_, line = line_, said = said_,
                         button = button_](const std::atomic<bool>& stop, const WorkerJob::Post&) {
        const auto resumed = line::resumeLine(url, line, stop);
        const QString name = QString::fromStdString(line);
        const QString text = !resumed ? QStringLiteral("Line %1 could not be resumed: %2.")
                                            .arg(name, QString::fromStdString(resumed.error()))
                             : *resumed ? QStringLiteral("Line %1 resumed.").arg(name)
                                        : QStringLiteral("Line %1 was not held.").arg(name);
        return std::function<void()>([said, text, button] {
            button->setEnabled(button->isVisible());
            said(text);
        });
    });
}

} // namespace j4
