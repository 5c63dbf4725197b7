// Text replies that never close: a unit that answers every command with "<"
// and then bytes without end, on its TCP text port and on its serial line.
// Every exchange must fail inside its buffer, the enter-bootload sequence
// must stop at its first command and say so, and the same calls must work
// against a unit that behaves.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "control/text_commands.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "resources/resource.h"
#include "sim/hostile_peer.h"
#include "sim/simulated_unit.h"
#include "sim/text_parser.h"

namespace {

struct Box {
  int count = 0;
  std::wstring text;
};

int RecordBox(platform::WindowRef, const wchar_t* text, const wchar_t*, unsigned, void* context) {
  auto* box = static_cast<Box*>(context);
  ++box->count;
  box->text = text ? text : L"";
  return IDOK;
}

class HostileTextTest : public testing::Test {
 protected:
  void SetUp() override {
    LoadUiStrings(nullptr);
    platform::SetMessageBoxHandler(RecordBox, &box_);
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr, nullptr); }
  Box box_;
};

TEST_F(HostileTextTest, TcpReplyThatNeverClosesFailsInsideTheBuffer) {
  sim::HostileTextServer server;
  ASSERT_TRUE(server.Start());
  EthernetTransportTCP link(htonl(INADDR_LOOPBACK), server.Port());
  ASSERT_TRUE(link.Open());
  // A guard on either side of the buffer shows any write beyond it.
  char frame[4 + kQueryReplySize + 4];
  std::memset(frame, 0x7E, sizeof frame);
  char* reply = frame + 4;
  EXPECT_EQ(link.Exchange(kQueryCommand, reply, kQueryReplySize, 1000), 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(frame[i], 0x7E);
    EXPECT_EQ(frame[4 + kQueryReplySize + i], 0x7E);
  }
  // What it holds: the first capacity - 1 bytes from the "<", terminated.
  EXPECT_EQ(std::string(reply), "<sy,bq = uklmno");
  link.Close();

  EXPECT_FALSE(QueryNetworkUnit(htonl(INADDR_LOOPBACK), server.Port(), 250, [](Transport&, const char*) {}));
  EXPECT_GT(server.BytesSent(), 0u);
  server.Stop();
}

TEST_F(HostileTextTest, EnterBootloadStopsAtTheFirstReplyThatNeverCloses) {
  sim::HostileTextServer server;
  ASSERT_TRUE(server.Start());
  auto* link = new EthernetTransportTCP(htonl(INADDR_LOOPBACK), server.Port());
  ASSERT_TRUE(link->Open());
  EXPECT_EQ(SendEnterBootloadCommands(nullptr, link, L"1234"), 0);
  EXPECT_EQ(box_.count, 1);
  EXPECT_EQ(box_.text, UiText(IDS_BOOTLOAD_FAILED));
  link->Close();
  delete link;
  server.Stop();

  // A unit that behaves, right after: the same sequence goes through.
  TextHalfOptions options;
  options.tcpPort = 0;
  TextHalf::UnitHooks hooks;
  hooks.inApplication = [] { return true; };
  hooks.enterBootloader = [] {};
  TextHalf good(options, hooks);
  ASSERT_TRUE(good.Start(htonl(INADDR_LOOPBACK)));
  auto* goodLink = new EthernetTransportTCP(htonl(INADDR_LOOPBACK), good.TcpPort());
  ASSERT_TRUE(goodLink->Open());
  EXPECT_EQ(SendEnterBootloadCommands(nullptr, goodLink, L"1234"), 1);
  EXPECT_EQ(box_.text, UiText(IDS_BOOTLOAD_ENABLED));
  goodLink->Close();
  delete goodLink;
  good.Stop();
}

// The unit takes the PIN and then pours bytes without end: the next
// command must still go out, fail on its time-out, and the sequence end
// with the failure box, instead of the user-interface thread waiting for
// the line to fall quiet.
TEST_F(HostileTextTest, EnterBootloadEndsWhenTheUnitNeverFallsQuietAfterItsFirstReply) {
  sim::HostileTextServer server;
  server.SetFirstReply("<sy,bu = ud/>");
  ASSERT_TRUE(server.Start(0, size_t(1) << 30));  // minutes of stream
  auto* link = new EthernetTransportTCP(htonl(INADDR_LOOPBACK), server.Port());
  ASSERT_TRUE(link->Open());
  auto sequence = std::async(std::launch::async, [link] { return SendEnterBootloadCommands(nullptr, link, L"1234"); });
  if (sequence.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the enter-bootload sequence did not end while the unit kept sending";
    server.Stop();  // closing the connection lets it end
  }
  EXPECT_EQ(sequence.get(), 0);
  EXPECT_EQ(box_.count, 1);
  EXPECT_EQ(box_.text, UiText(IDS_BOOTLOAD_FAILED));
  link->Close();
  delete link;
  server.Stop();
}

TEST_F(HostileTextTest, SerialReplyThatNeverClosesIsFoundAtNoRate) {
  sim::UnitOptions options;
  options.udpPort = -1;
  options.mode = sim::UnitMode::Application;
  sim::SimulatedUnit unit(options);
  sim::NeverClosingSerialText(unit);
  ASSERT_TRUE(unit.Start());
  const std::string path = unit.SerialPath();
  const std::wstring port(path.begin(), path.end());
  int answered = 0;
  EXPECT_EQ(ProbeSerialUnit(port.c_str(), 250, IsQueryReply, [&](Transport&, const char*) { ++answered; }), 0);
  EXPECT_EQ(answered, 0);
  EXPECT_GT(unit.Line().serialBytesToApplication, 0u);
  unit.Stop();
}

}  // namespace
