// A branch on a device's tee: one that has stopped taking frames must not stop the others.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "media/tee_branch.h"
#include "tests/support/poll_until.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

// queue ! identity ! fakesink behind a ghost pad "audio"; the identity calls `handoff`.
GstElement *branchBin(GCallback handoff, gpointer data) {
    GstElement *bin = gst_bin_new(nullptr);
    const std::vector<GstElement *> chain = addChain(bin, nullptr, {"queue", "identity", "fakesink"});
    EXPECT_EQ(chain.size(), 3u);
    // As in the encoders' branches: a full queue drops its oldest rather than hold up the tee.
    g_object_set(chain[0], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(GST_SECOND), "leaky",
                 2, nullptr);
    g_object_set(chain[1], "signal-handoffs", TRUE, nullptr);
    g_object_set(chain[2], "sync", FALSE, "async", FALSE, nullptr);
    g_signal_connect(chain[1], "handoff", handoff, data);
    addBranchInput(bin, "audio", chain[0]);
    return bin;
}

struct Stuck {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> entered{false};
    static void handoff(GstElement *, GstBuffer *, gpointer data) {
        auto *self = static_cast<Stuck *>(data);
        self->entered = true;
        std::unique_lock lock(self->mutex);
        self->released.wait(lock, [&] { return self->release; });
    }
};

void count(GstElement *, GstBuffer *, gpointer data) { ++*static_cast<std::atomic<int> *>(data); }

TEST(TeeBranch, ABranchThatStoppedTakingFramesDoesNotHoldUpTheDeviceWhenAnotherJoins) {
    GstElement *pipeline = gst_parse_launch("audiotestsrc is-live=true samplesperbuffer=441 ! tee name=t", nullptr);
    ASSERT_NE(pipeline, nullptr);
    GstElement *tee = gst_bin_get_by_name(GST_BIN(pipeline), "t");
    Stuck stuck;
    std::atomic<int> frames{0};
    {
        // The first branch's thread stops inside it, as behind a muxer waiting for its other
        // input; the device then renegotiates for the second (a new tee pad asks it to).
        TeeBranch first(pipeline, branchBin(G_CALLBACK(Stuck::handoff), &stuck), nullptr, tee, 0);
        ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        EXPECT_TRUE(testing::pollUntil([&] { return stuck.entered.load(); }));
        TeeBranch second(pipeline, branchBin(G_CALLBACK(count), &frames), nullptr, tee,
                         TeeBranch::runningTime(pipeline));
        EXPECT_TRUE(testing::pollUntil([&] { return frames >= 20; })) << "the device stopped with the stuck branch";
        {
            std::lock_guard lock(stuck.mutex);
            stuck.release = true;
        }
        stuck.released.notify_all();
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(tee);
    gst_object_unref(pipeline);
}

}  // namespace
}  // namespace morlanex
