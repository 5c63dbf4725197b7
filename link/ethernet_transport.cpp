// The parts of the network links that are the same on every platform; the
// sockets themselves are in ethernet_transport_win32.cpp and
// ethernet_transport_posix.cpp.
#include "link/ethernet_transport.h"

#include "app/app_state.h"
#include "platform/platform.h"
#include "resources/resource.h"

EthernetTransport::EthernetTransport(uint32_t address, uint16_t port) : address_(address), port_(port) {}

EthernetTransport::~EthernetTransport() { Close(); }

int EthernetTransport::IsOpen() { return socket_ != kNoLinkSocket ? 1 : 0; }

const wchar_t* EthernetTransport::Kind() { return L"IP"; }

uint32_t EthernetTransport::Address() { return address_; }

EthernetTransportTCP::EthernetTransportTCP(uint32_t address, int port)
    : address_(address), port_(port == 0 ? kDefaultParserPort : port) {}

EthernetTransportTCP::~EthernetTransportTCP() { Close(); }

int EthernetTransportTCP::IsOpen() { return socket_ != kNoLinkSocket ? 1 : 0; }

const wchar_t* EthernetTransportTCP::Kind() { return L"TCP"; }

uint32_t EthernetTransportTCP::Address() { return address_; }

// No owner window: Open often runs on a worker thread.
void ShowLinkSocketError(unsigned textId) {
  platform::ShowMessageBox(nullptr, UiText(textId), UiText(IDS_SOCKET_ERROR), MB_OK | MB_ICONERROR);
}
