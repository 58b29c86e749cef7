#include "port_names.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>

using namespace j4;

TEST(PortNames, BuiltInPortsFirstThenUsbThenAcmEachInNaturalOrder) {
    QStringList names{QStringLiteral("ttyUSB10"), QStringLiteral("ttyACM0"),
                      QStringLiteral("rfcomm0"),  QStringLiteral("ttyS10"),
                      QStringLiteral("ttyUSB2"),  QStringLiteral("ttyS2"),
                      QStringLiteral("ttyS0"),    QStringLiteral("ttyAMA0")};
    std::sort(names.begin(), names.end(), portNameLess);
    EXPECT_EQ(names.join(' ').toStdString(),
              "ttyS0 ttyS2 ttyS10 ttyUSB2 ttyUSB10 ttyACM0 rfcomm0 ttyAMA0");
}

TEST(PortNames, EnvironmentListReplacesTheSystemsAndNumbersFromOne) {
    qputenv("J4_PORTS", "/tmp/first:/tmp/second");
    const auto ports = listPorts();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[1].number, 2);
    EXPECT_EQ(portForNumber(1)->device.toStdString(), "/tmp/first");
    EXPECT_EQ(portForNumber(2)->text().toStdString(), "/tmp/second");
    EXPECT_FALSE(portForNumber(3));
    EXPECT_FALSE(portForNumber(0));
    EXPECT_FALSE(portForNumber(256));
    qunsetenv("J4_PORTS");
}

TEST(PortNames, ARequestNamesTheDeviceBehindTheNumber) {
    qputenv("J4_PORTS", "/tmp/first:/tmp/second");
    const UpdateRequest second = requestForPort("u.j4u", 2);
    EXPECT_EQ(second.device, "/tmp/second");
    EXPECT_EQ(second.portNumber, 2);
    EXPECT_EQ(second.filePath, "u.j4u");
    EXPECT_TRUE(requestForPort("u.j4u", 3).device.empty());
    qunsetenv("J4_PORTS");
}
