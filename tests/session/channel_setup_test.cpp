// The working channel setup: one `changed` per real change, and device listings that fail.
#include "session/channel_setup.h"

#include <gtest/gtest.h>

#include <stdexcept>

using morlanex::ChannelSetupModel;
using morlanex::DeviceChoice;

namespace {

TEST(ChannelSetupModel, ChangedOncePerRealChange) {
    ChannelSetupModel model;
    int changes = 0;
    QObject::connect(&model, &ChannelSetupModel::changed, [&] { ++changes; });

    model.setTexts(QStringLiteral("夜市"), QStringLiteral("about"));
    EXPECT_EQ(changes, 1);
    model.setTexts(QStringLiteral("夜市"), QStringLiteral("about"));
    model.setKeywords(QString());
    model.set(model.setup());
    model.editDevices([](DeviceChoice &) {});
    EXPECT_EQ(changes, 1) << "the same values again are no change";

    DeviceChoice devices = model.setup().devices;
    devices.recordingLine = 3;
    model.setDevices(devices);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(model.setup().devices.recordingLine, 3);
    EXPECT_EQ(model.setup().name, QStringLiteral("夜市"));
}

TEST(ChannelSetupModel, AFailedListingKeepsWhatItLeft) {
    ChannelSetupModel model;
    int changes = 0;
    QObject::connect(&model, &ChannelSetupModel::changed, [&] { ++changes; });
    EXPECT_THROW(model.editDevices([](DeviceChoice &d) {
        d.microphone = 2;
        throw std::runtime_error("Interface not supported");
    }),
                 std::runtime_error);
    EXPECT_EQ(model.setup().devices.microphone, 2);
    EXPECT_EQ(changes, 1);
}

}  // namespace
