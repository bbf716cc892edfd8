// The switcher link: one TCP connection per frame to the switcher's port 2006, one exchange on it
// (write or read a frame memory), closed by the tool on every path.
//
// The link is toolkit-free: the switcher address and the FMEM 1 check state reach it through
// LinkInputs, which the window implements from its controls and the command line from its
// options. Results are TransferResult codes; the jobs turn them into messages.
#pragma once

#include <array>
#include <cstdint>

enum TransferResult : int {
    kTransferOk = 0,
    kSocketInitError = 2,       // no socket could be created
    kServerConnectError = 3,    // the connection failed (or timed out)
    kSizeSendError = 4,         // sending the command byte or the size header failed
    kImageSendError = 5,        // write: reply or final status missing, or a chunk not sent
    kSwitcherReceiveError = 6,  // write: the switcher answered 0xAD
    kFmemEmpty = 10,            // read: 0xAC
    kFmemReadError = 11,        // read: 0xAD
    kFrameAllocError = 31,      // read: no memory for the frame
    kReadBusy = 80,             // read: 0xAF
    kWriteBusy = 90,            // write: 0xAF
    kReceiveDataError = 100,    // any other reply, or the size header or frame did not arrive
    // Not a switcher reply: a send with verification read the frame memory back and it did not
    // hold the frame just written, or the read-back failed.
    kVerifyFailed = 120,
};

inline constexpr uint8_t kCommandWriteFmem1 = 0x20;
inline constexpr uint8_t kCommandWriteFmem2 = 0x30;
inline constexpr uint8_t kCommandReadFmem1 = 0x21;
inline constexpr uint8_t kCommandReadFmem2 = 0x31;
inline constexpr uint8_t kReplyAccept = 0xAC;
inline constexpr uint8_t kReplyError = 0xAD;
inline constexpr uint8_t kReplyBusy = 0xAF;
inline constexpr uint8_t kReplyFrameFollows = 0x10;
inline constexpr uint16_t kSwitcherPort = 2006;

// The size header in front of every frame on the wire (and in the emulator's store files): the
// width, then the height, each as two bytes, most significant first.
struct SizeHeader {
    uint8_t bytes[4];
};
inline SizeHeader PackSizeHeader(uint16_t width, uint16_t height)
{
    return {{static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
             static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height)}};
}
inline void UnpackSizeHeader(const uint8_t* header, uint16_t* width, uint16_t* height)
{
    *width = static_cast<uint16_t>(header[0] << 8 | header[1]);
    *height = static_cast<uint16_t>(header[2] << 8 | header[3]);
}
inline constexpr int kChunkBytes = 1024;

// What the link reads from its host at the moment of a call.
class LinkInputs {
  public:
    virtual ~LinkInputs() = default;
    // The switcher's IPv4 address a.b.c.d as {a, b, c, d}; a is the most significant byte.
    virtual std::array<uint8_t, 4> SwitcherAddress() const = 0;
    // True when the FMEM 1 radio is checked (a read then targets FMEM 1, else FMEM 2).
    virtual bool Fmem1Checked() const = 0;
};

struct LinkOptions {
    uint16_t port = kSwitcherPort;
    int connectTimeoutMs = 5000;  // connecting gives up after this long: result 3
    int idleTimeoutMs = 10000;    // a send or receive without progress for this long fails; the
                                  // switcher reading bytes of ours off the connection is progress
};

class CSwitcherLink {
  public:
    explicit CSwitcherLink(const LinkInputs& inputs, LinkOptions options = {});
    ~CSwitcherLink();
    CSwitcherLink(const CSwitcherLink&) = delete;
    CSwitcherLink& operator=(const CSwitcherLink&) = delete;

    int ConnectSwitcher();   // 0, 2 or 3
    int WriteFrameMemory();  // 0, 4, 5, 6, 90 or 100; closes m_socket
    int ReadFrameMemory();   // 0, 4, 10, 11, 31, 80 or 100; closes m_socket
    int SendFrame();         // ConnectSwitcher, then WriteFrameMemory
    int ReceiveFrame();      // ConnectSwitcher, then ReadFrameMemory

    int m_socket = -1;           // the connection of the exchange in progress
    uint8_t* m_frame = nullptr;  // YcbcrFrame from AllocateFrameBlock; the caller releases it
    uint32_t m_frameBytes = 0;   // width × height × 2 of the frame to write
    uint32_t m_sentBytes = 0;    // bytes of m_frame handed to the network; 0 when a write starts
    uint16_t m_frameWidth = 0;
    uint16_t m_frameHeight = 0;
    uint8_t m_target = 0;  // 0 = FMEM 1, anything else = FMEM 2

  private:
    const LinkInputs& m_inputs;
    LinkOptions m_options;
};
