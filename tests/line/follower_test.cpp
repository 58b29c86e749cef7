// The line follower in process, against a real PostgreSQL and releases the
// real minisign signed: which assignment each next unit is made of, what it
// refuses, and that a listener may ask the follower what it sends while it
// is being told.
#include "line_follower.h"
#include "plant_fixture.h"

#include <mutex>

namespace {

using j4::testing::plant::Plant;

// Hears the follower's notices and, as a window does, asks what the line
// sends each time: told under the follower's own lock, it would wait forever.
class AskingListener final : public j4::runs::DeviceListener {
public:
    void notice(const std::string& text) override {
        const std::string now = follower != nullptr ? follower->describe() : std::string();
        const std::lock_guard lock(mutex_);
        notices_.push_back(text + " | " + now);
    }
    std::vector<std::string> notices() const {
        const std::lock_guard lock(mutex_);
        return notices_;
    }
    j4::line::LineFollower* follower = nullptr;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> notices_;
};

class Follower : public Plant {
protected:
    QString addRelease(const QString& name, int variant, const QString& version,
                       const j4::testing::Minisign& key) {
        const QString file = release(name, variant);
        key.sign(file, "version=" + version);
        const auto added = plant({"release", "add", file, "--signature", file + ".minisig",
                                  "--trust-key", key.publicKey()});
        EXPECT_EQ(added.exitCode, 0) << added.err.toStdString();
        return file;
    }
    int assign(const QString& version, const QString& order) {
        return plant(
                   {"assign", "L9", "--release", version, "--work-order", order, "--quantity", "5"})
            .exitCode;
    }
    j4::line::FollowSettings settings() const {
        j4::line::FollowSettings follow{
            "L9", database.url().toStdString(), "s9", {}, dir.filePath("state").toStdString()};
        follow.release.trustKeyFiles = {plantKey.publicKey().toStdString()};
        return follow;
    }
};

TEST_F(Follower, EachUnitIsMadeOfTheLinesAssignmentAsItIsWhenTheUnitStarts) {
    addRelease("a.j4u", 1, "1.0.0", plantKey);
    addRelease("b.j4u", 2, "2.0.0", plantKey);
    ASSERT_EQ(assign("1.0.0", "WO-1"), 0);
    AskingListener listener;
    const std::atomic<bool> stop{false};
    auto started = j4::line::LineFollower::start(settings(), listener, stop);
    ASSERT_TRUE(started) << started.error();
    j4::line::LineFollower& follower = **started;
    listener.follower = &follower;
    EXPECT_EQ(follower.describe(), "release 1.0.0, work order WO-1, 0 of 5 units");

    const auto first = follower.next(1);
    EXPECT_TRUE(first.refusal.empty()) << first.refusal;
    EXPECT_EQ(first.production.workOrder, "WO-1");

    // Assigned anew: the next unit is the new assignment's, its release
    // fetched and checked first; the unit under way keeps its own.
    ASSERT_EQ(assign("2.0.0", "WO-2"), 0);
    const auto second = follower.next(2);
    EXPECT_TRUE(second.refusal.empty()) << second.refusal;
    EXPECT_EQ(second.production.workOrder, "WO-2");
    EXPECT_EQ(first.production.workOrder, "WO-1");
    EXPECT_EQ(follower.following().assignment.version, "2.0.0");

    // Held: no unit, and why.
    ASSERT_EQ(plant({"hold", "L9", "--reason", "fixture worn"}).exitCode, 0);
    const auto third = follower.next(3);
    EXPECT_EQ(third.refusal,
              "Line L9 is held: fixture worn. Not updated. Plug the unit in again once the line "
              "goes on.");
    ASSERT_EQ(plant({"resume", "L9"}).exitCode, 0);

    // A release no key of this station trusts: refused, and the station goes
    // on with what it verified.
    j4::testing::Minisign other(keys, "other");
    addRelease("c.j4u", 3, "3.0.0", other);
    ASSERT_EQ(assign("3.0.0", "WO-3"), 0);
    const auto fourth = follower.next(4);
    EXPECT_NE(fourth.refusal.find("release 3.0.0 is refused"), std::string::npos) << fourth.refusal;
    EXPECT_EQ(follower.following().assignment.workOrder, "WO-2");

    // Each notice was said once no lock was held: the listener's own
    // question was answered, with the line as it was then.
    const auto notices = listener.notices();
    const auto said = [&](const std::string& text) {
        return std::any_of(notices.begin(), notices.end(),
                           [&](const std::string& notice) { return notice.starts_with(text); });
    };
    EXPECT_TRUE(said("Line L9 now sends release 2.0.0, work order WO-2"));
    EXPECT_TRUE(said("Line L9 is held: fixture worn. | release 2.0.0, work order WO-2"));
}

} // namespace
