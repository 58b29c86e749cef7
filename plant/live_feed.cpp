#include "live_feed.h"

#include "stoppable_wait.h"

#include <nlohmann/json.hpp>

namespace j4::plant {
namespace {

constexpr auto kCoalesce = std::chrono::milliseconds(200);
constexpr auto kRefresh = std::chrono::seconds(10);
constexpr auto kLookForRecords = std::chrono::milliseconds(250);

} // namespace

LiveFeed::LiveFeed(std::string url, std::function<void(const std::string&)> told)
    : url_(std::move(url)), told_(std::move(told)) {
    thread_ = WorkerThread([this] { loop(); });
}

LiveFeed::~LiveFeed() {
    stop_ = true;
    changed_.notify_all();
    thread_.wait();
}

Snapshot LiveFeed::latest() const {
    const std::lock_guard lock(mutex_);
    return latest_;
}

Snapshot LiveFeed::newerThan(std::uint64_t version, std::chrono::milliseconds wait) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return stop_ || latest_.version > version; });
    return latest_;
}

std::string LiveFeed::trouble() const {
    const std::lock_guard lock(mutex_);
    return trouble_;
}

void LiveFeed::publish(std::string json) {
    bool back = false;
    {
        const std::lock_guard lock(mutex_);
        back = !trouble_.empty();
        trouble_.clear();
        if (json == latest_.json)
            return;
        latest_ = {latest_.version + 1, std::move(json)};
    }
    changed_.notify_all();
    if (back && told_)
        told_({});
}

void LiveFeed::setTrouble(std::string why) {
    {
        const std::lock_guard lock(mutex_);
        if (why == trouble_)
            return;
        trouble_ = why;
        // The pages keep the last picture, told that it is old and why: a
        // silent database must not look like a quiet plant.
        auto stale = nlohmann::json::parse(latest_.json, nullptr, false);
        if (!stale.is_object())
            stale = nlohmann::json::object({{"lines", nlohmann::json::array()}});
        stale["trouble"] = why;
        latest_ = {latest_.version + 1,
                   stale.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
    }
    changed_.notify_all();
    if (told_)
        told_(why);
}

void LiveFeed::loop() {
    while (!stop_) {
        if (!listenAndRead())
            waitUnlessStopped(db::kReconnectAfter, {&stop_});
    }
}

// One connection listens and reads: a notification heard, the view is read
// once the burst it belongs to is over.
bool LiveFeed::listenAndRead() {
    auto session = db::PqSession::open(url_, &stop_, {});
    if (!session) {
        setTrouble(session.error());
        return false;
    }
    ++connections_;
    if (auto listened = (*session)->run("LISTEN j4_live; LISTEN j4_line"); !listened) {
        setTrouble(listened.error());
        return false;
    }
    PGconn* connection = (*session)->connection();
    using Clock = std::chrono::steady_clock;
    // Read at once, then at most once in kCoalesce however many stations
    // report, and every kRefresh besides. Records arriving send no
    // notification: they are looked for every kLookForRecords.
    bool due = true;
    auto lastRead = Clock::now() - kRefresh;
    auto looked = Clock::now();
    while (!stop_) {
        if (!due && Clock::now() - looked >= kLookForRecords) {
            const auto waiting = (*session)->run("SELECT j4_records_waiting()");
            if (!waiting) {
                setTrouble(waiting.error());
                return false;
            }
            due = db::text(*waiting, 0, 0) == "t";
            looked = Clock::now();
        }
        const auto now = Clock::now();
        if ((due && now - lastRead >= kCoalesce) || now - lastRead >= kRefresh) {
            auto view = (*session)->run("SELECT j4_live_view()::text");
            if (!view) {
                setTrouble(view.error());
                return false;
            }
            publish(PQgetvalue(view->get(), 0, 0));
            lastRead = Clock::now();
            due = false;
        }
        const auto deadline =
            due ? lastRead + kCoalesce : std::min(lastRead + kRefresh, looked + kLookForRecords);
        db::waitForSocket(connection, db::SocketEvent::Readable, deadline, &stop_);
        if (PQconsumeInput(connection) == 0) {
            setTrouble(db::trimmed(PQerrorMessage(connection)));
            return false;
        }
        while (PGnotify* heard = PQnotifies(connection)) {
            due = true;
            PQfreemem(heard);
        }
    }
    return true;
}

} // namespace j4::plant
