#pragma once
// The records' sender heard on the UI thread: it speaks from its own
// thread, and the window hears it through queued signals.

#include "record_sender.h"

#include <QObject>
#include <QString>

namespace j4 {

class RecordsRelay final : public QObject, public records::RecordsListener {
    Q_OBJECT

public:
    using QObject::QObject;
    void said(const std::string& text) override { emit saidText(QString::fromStdString(text)); }
    void unsentChanged(std::size_t count) override {
        emit unsentCount(static_cast<qulonglong>(count));
    }
    void refusedChanged(std::size_t count) override {
        emit refusedCount(static_cast<qulonglong>(count));
    }
    void unloggedChanged(std::size_t count) override {
        emit unloggedCount(static_cast<qulonglong>(count));
    }

signals:
    void saidText(const QString& text);
    void unsentCount(qulonglong count);
    void refusedCount(qulonglong count);
    void unloggedCount(qulonglong count);
};

} // namespace j4
