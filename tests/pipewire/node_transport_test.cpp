// The transport the mirror gives a node, from the properties the graph hands out: network speakers
// as PipeWire's own modules make them (property maps as pw-dump showed them on PipeWire 0.3.65,
// and as the discovery modules and later versions name them), and the nodes they must not be
// confused with.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "audio/pipewire/pw_graph_mirror.h"
#include "core/dev.h"

namespace housetone {
namespace {

using Props = std::map<std::string, std::string>;

struct Case {
    const char* what;
    Props props;
    std::uint32_t transport;
};

void expectTransports(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(fourccString(pw::transportOf(c.props)), fourccString(c.transport)) << c.what;
}

TEST(NodeTransport, EveryKindOfNetworkSinkIsANetworkSpeaker) {
    expectTransports({
        {"an RTP sender made a sink",
         {{"media.class", "Audio/Sink"},
          {"node.name", "room-network-rtp"},
          {"node.network", "true"},
          {"node.virtual", "true"},
          {"rtp.destination.ip", "127.0.0.1"},
          {"rtp.session", "room-network-rtp"}},
         transport::network},
        {"an RTP sender as it names itself",
         {{"media.class", "Audio/Sink"}, {"node.name", "rtp-sink-31723-6"}},
         transport::network},
        {"a PulseAudio tunnel",
         {{"media.class", "Audio/Sink"},
          {"media.name", "pulse"},
          {"node.name", "room-network-tunnel"},
          {"node.network", "true"},
          {"node.virtual", "true"}},
         transport::network},
        {"a tunnel the discovery module made",
         {{"node.name", "tunnel.far.local.alsa_output.pci-0000_00_1b.0.analog-stereo"},
          {"node.virtual", "true"}},
         transport::network},
        {"a tunnel that carries its remote server",
         {{"node.name", "kitchen"}, {"tunnel.remote.fqdn", "far.local"}},
         transport::network},
        {"an AirPlay sink of 0.3.65, which carries no network flag",
         {{"media.class", "Audio/Sink"},
          {"media.name", "RAOP sink"},
          {"node.name", "raop-sink-31723-8"},
          {"node.virtual", "true"}},
         transport::network},
        {"an AirPlay sink as later versions name it",
         {{"node.name", "raop_sink.living-room.local.192.168.1.20.7000"}},
         transport::network},
        {"an AirPlay sink with its receiver's address",
         {{"node.name", "Living Room"}, {"raop.ip", "192.168.1.20"}, {"raop.port", "7000"}},
         transport::network},
        {"the flag in its numeric form", {{"node.network", "1"}}, transport::network},
        {"a device on a network bus", {{"device.bus", "network"}}, transport::network},
        {"a network flag beats the USB bus the device also names",
         {{"device.bus", "usb"}, {"node.network", "true"}},
         transport::network},
    });
}

TEST(NodeTransport, LocalVirtualAndOwnNodesAreNotTakenForNetworkSpeakers) {
    expectTransports({
        {"our own node, flagged or not",
         {{"node.name", "com.mirelo.housetone.tap"}, {"node.network", "true"}},
         transport::aggregate},
        {"a virtual sink",
         {{"node.name", "my-null-sink"}, {"node.virtual", "true"}},
         transport::virtualDevice},
        {"a flag that says no", {{"node.network", "false"}}, transport::virtualDevice},
        {"a flag that is no flag", {{"node.network", "true "}}, transport::virtualDevice},
        {"words that only name a network in a description",
         {{"node.description", "raop_sink tunnel.rtp"}, {"media.name", "RTP Stream"}},
         transport::virtualDevice},
        {"a key with a network word inside, not in front",
         {{"api.rtp.session", "x"}, {"node.name", "my.tunnel.sink"}},
         transport::virtualDevice},
        {"a Bluetooth speaker",
         {{"device.bus", "bluetooth"}, {"device.api", "bluez5"}, {"api.bluez5.codec", "sbc"}},
         transport::bluetooth},
        {"a USB speaker", {{"device.bus", "usb"}}, transport::usb},
        {"HDMI", {{"device.bus", "pci"}, {"device.form-factor", "hdmi"}}, transport::hdmi},
        {"a built-in card",
         {{"device.bus", "pci"}, {"device.form-factor", "internal"}},
         transport::builtIn},
    });
}

TEST(NodeTransport, ANetworkSpeakerIsLabelledNetwork) {
    EXPECT_EQ(transportLabel(transport::network), "network");
}

}  // namespace
}  // namespace housetone
