// The serial byte channel: writes a packet on the host's port and reads the
// reply as a sequence of fixed-size reads, each handed to the owner on the
// main thread through OnReceivePacket.
//
// The owner may change LengthPacket from inside OnReceivePacket; that is how
// a reply of unknown length is read as header first and body second. The
// channel never interprets the bytes.
#pragma once

#include <cstdint>

#include "platform/SerialPort.h"
#include "runtime/Delegate.h"
#include "runtime/MessageLoop.h"
#include "runtime/TComponent.h"
#include "serial/TReadThread.h"
#include "serial/TReceiveType.h"

namespace q31 {

class TPublicDevCom : public TComponent {
public:
    static constexpr int kChannelBufferSize = 1002;
    // How long one read may wait for its bytes unless the owner says otherwise.
    static constexpr int kDefaultReadTimeoutMs = 1000;

    explicit TPublicDevCom(TComponent* owner = nullptr, MessageLoop& loop = MessageLoop::Main());
    ~TPublicDevCom() override;

    // Sending.
    // Writes `count` bytes from `data` (which must stay valid until the write,
    // i.e. during this call) and starts the exchange's reads.
    void Transmit_Packed(const void* data, std::uint8_t count);
    void Transmit_Byte(std::uint8_t value);
    void Transmit_Short(std::uint16_t value);
    void Transmit_Long(std::uint32_t value);
    void Transmit_Float(float value);
    // The send-and-read step: purge, write TransmitSize bytes, start the reads.
    void Transmit(TComponent* sender = nullptr);
    // Writes bytes and starts no read (the link's null-byte preamble).
    bool WriteOnly(const void* data, std::uint8_t count);
    // Starts one read of `count` bytes without writing anything: a new
    // exchange that only listens (the link lets the line fall quiet this way).
    void Listen(int count);
    // Starts `reads` reads again without writing, the first of `count`
    // bytes: the reply is still to come after a frame that was not it.
    void ReadAgain(int reads, int count);

    // Receiving.
    void SetReceiveType(TReceiveType type);
    TReceiveType GetReceiveType() const { return ReceiveType; }
    void SetReadinCount(int count) { ReadinCount = count; }
    int GetReadinCount() const { return ReadinCount; }
    // Starts one read of `count` bytes at FillOffset. A read of 0 bytes
    // reads nothing and ends at once.
    void ReceivePacket(TComponent* sender, int count);
    // Stops the exchange after the chunk being delivered: no further read.
    void StopReading() { ReadsLeft = 0; }
    // Ends the read in progress, if any; the bytes it had taken go to OnDiscard.
    void AbortRead();
    // Reads off input that arrived and was not read (nothing waits for it):
    // the bytes go to OnDiscard. Returns how many there were.
    int ClearBuf();
    // From inside OnReceivePacket: the read just delivered ended with no
    // byte; start it again in its place instead of going on.
    void RetryRead() { retry_ = true; }
    // The time of one character on the port, in microseconds (0: unknown).
    int CharTimeMicros() const { return PortCharTimeMicros(ComHandle); }

    // Typed reception: a caller passes the number of bytes that arrived at
    // the start of ChannelBuffer; whole elements are raised as events.
    void ReceiveChar(TComponent* sender, int count);
    void ReceiveShort(TComponent* sender, int count);
    void ReceiveLong(TComponent* sender, int count);
    void ReceiveFloat(TComponent* sender, int count);
    void ReceiveAll(TComponent* sender, int count);
    void ReceiveByte(TComponent*, int) {}

    // Members, in the order the channel has always had them.
    bool TransmitOK = false;
    int ReadsLeft = 0;
    Delegate<void(char)> OnReceiveChar;
    TReceiveType ReceiveType = rtChar;
    Delegate<void(short)> OnReceiveShort;
    Delegate<void(int)> OnReceiveLong;
    Delegate<void(float)> OnReceiveFloat;
    Delegate<void(void*, int)> OnAllReceive;
    Delegate<void(char*)> OnReceivePacket;
    int LengthPacket = 0;
    TReadThread ReadThread;
    PortHandle ComHandle = kNoPort;
    int FillOffset = 0;
    int ElementFill = 0;
    int ElementSize = 1;
    bool EchoRead = false;
    int ReadSize = 0;
    int ReadinCount = 0;
    const std::uint8_t* TransmitData = nullptr;
    std::uint8_t TransmitSize = 0;
    int BytesRead = 0;
    // Reads handed over so far, for diagnostics (tests wait on it).
    unsigned ReadsDone = 0;
    // Upper bound of one read's wait, in ms; the link sets it to its time-out.
    int ReadTimeout = kDefaultReadTimeoutMs;
    // The OS's error code of the last failed write, and of the read whose
    // chunk is being delivered (0: it did not fail).
    int WriteError = 0;
    int ReadError = 0;
    std::uint8_t ChannelBuffer[kChannelBufferSize] = {};
    // Bytes taken off the line that no read was waiting for, or that an
    // aborted read had taken: nothing is thrown away unseen.
    Delegate<void(const std::uint8_t* Bytes, int Length)> OnDiscard;

private:
    // A new exchange: the old one's read ends and its bytes are forgotten.
    void BeginExchange();
    // Runs on the main thread when the read thread has finished a read.
    void ReceiveEnd();
    void Receive();
    template <typename Value, typename Event>
    void ReceiveElements(int count, const Event& event);

    MessageLoop& loop_;
    Handover readDone_;
    bool reading_ = false;             // a read of the current exchange is outstanding
    bool noRead_ = false;              // it is a read of 0 bytes, delivered without the reader
    bool retry_ = false;               // the owner wants the delivered read again
    std::uint8_t discard_[256] = {};   // what ClearBuf reads off
    unsigned exchange_ = 0;            // counts Transmit calls
    std::uint8_t valueBytes_[4] = {};  // Transmit_Short & co. write from here
};

}  // namespace q31
