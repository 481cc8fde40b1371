#include "serial/TPublicDevCom.h"

#include <cstring>

namespace q31 {

TPublicDevCom::TPublicDevCom(TComponent* owner, MessageLoop& loop) : TComponent(owner), loop_(loop) {
    readDone_.OnHandover = Delegate<void()>::Bind<&TPublicDevCom::ReceiveEnd>(this);
}

// Nobody is told of the bytes of a read the channel's end cuts short.
TPublicDevCom::~TPublicDevCom() { ReadThread.Abort(); }

void TPublicDevCom::Transmit_Packed(const void* data, std::uint8_t count) {
    TransmitSize = count;
    TransmitData = static_cast<const std::uint8_t*>(data);
    ElementFill = 0;
    Transmit();
}

void TPublicDevCom::Transmit_Byte(std::uint8_t value) {
    valueBytes_[0] = value;
    Transmit_Packed(valueBytes_, 1);
}

void TPublicDevCom::Transmit_Short(std::uint16_t value) {
    valueBytes_[0] = static_cast<std::uint8_t>(value);
    valueBytes_[1] = static_cast<std::uint8_t>(value >> 8);
    Transmit_Packed(valueBytes_, 2);
}

void TPublicDevCom::Transmit_Long(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) valueBytes_[i] = static_cast<std::uint8_t>(value >> (8 * i));
    Transmit_Packed(valueBytes_, 4);
}

void TPublicDevCom::Transmit_Float(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Transmit_Long(bits);
}

void TPublicDevCom::AbortRead() {
    // A read still waiting belongs to an exchange that is over: end it now so
    // that none of its bytes can be taken for the next exchange's.
    ReadThread.Abort();
    if (noRead_) loop_.Withdraw(readDone_);
    const bool hadBytes = reading_ && !noRead_ && BytesRead > 0 && BytesRead <= ReadSize;
    reading_ = false;
    if (hadBytes && OnDiscard) OnDiscard(ChannelBuffer + FillOffset, BytesRead);
}

void TPublicDevCom::BeginExchange() {
    AbortRead();
    ++exchange_;
    FillOffset = 0;
    ReadSize = 0;
    ElementFill = 0;
}

void TPublicDevCom::Transmit(TComponent*) {
    BeginExchange();
    WriteError = 0;
    TransmitOK = false;
    if (PortUsable(ComHandle)) {
        ClearBuf();
        TransmitOK = TransmitData != nullptr && PortWrite(ComHandle, TransmitData, TransmitSize, &WriteError);
    }
    ReadsLeft = ReadinCount + (EchoRead ? 1 : 0);
    ReceivePacket(this, LengthPacket);
}

bool TPublicDevCom::WriteOnly(const void* data, std::uint8_t count) {
    WriteError = 0;
    return PortWrite(ComHandle, static_cast<const std::uint8_t*>(data), count, &WriteError);
}

void TPublicDevCom::Listen(int count) {
    BeginExchange();
    ReadsLeft = 1;
    ReceivePacket(this, count);
}

void TPublicDevCom::ReadAgain(int reads, int count) {
    BeginExchange();
    ReadsLeft = reads;
    ReceivePacket(this, count);
}

void TPublicDevCom::SetReceiveType(TReceiveType type) {
    ReceiveType = type;
    switch (type) {
        case rtChar: ElementSize = 1; break;
        case rtShort: ElementSize = 2; break;
        case rtLong: ElementSize = 4; break;
        case rtFloat: ElementSize = 4; break;
        case rtAll: ElementSize = 0; break;
        case rtPacket:
            if (LengthPacket < 1) LengthPacket = 1;
            break;
    }
}

void TPublicDevCom::ReceivePacket(TComponent*, int count) {
    if (count < 0) count = 0;
    // Every read of an exchange lands behind the previous one; one that would
    // not fit ends the exchange instead of running past the buffer.
    if (FillOffset < 0 || count > kChannelBufferSize - FillOffset) {
        ReadsLeft = 0;
        reading_ = false;
        return;
    }
    ReadSize = count;
    std::memset(ChannelBuffer + FillOffset, 0, static_cast<std::size_t>(count));
    BytesRead = 0;
    reading_ = true;
    if (count == 0) {
        // Nothing to wait for: the empty chunk is delivered at once, through
        // the same hand-over, so the owner sees it as it sees any other.
        ReadThread.Abort();
        noRead_ = true;
        loop_.Post(readDone_);
        return;
    }
    noRead_ = false;
    ReadThread.Start(ComHandle, ChannelBuffer + FillOffset, static_cast<std::size_t>(count), &BytesRead, ReadTimeout,
                     loop_, readDone_);
}

void TPublicDevCom::ReceiveEnd() {
    // The chunk is processed here, on the main thread, straight from the
    // hand-over; a read that was aborted never gets this far.
    if (!reading_) return;
    ++ReadsDone;
    ReadError = noRead_ ? 0 : ReadThread.LastError();
    Receive();
}

void TPublicDevCom::Receive() {
    reading_ = false;
    --ReadsLeft;
    // The chunk is always ReadSize bytes; bytes that did not arrive are zero.
    const int offset = FillOffset;
    const unsigned exchange = exchange_;
    retry_ = false;
    if (OnReceivePacket) OnReceivePacket(reinterpret_cast<char*>(ChannelBuffer + offset));
    // A handler may have started a new exchange; then that exchange owns the
    // channel and this one is over.
    if (exchange != exchange_) return;
    if (retry_) {
        retry_ = false;
        ++ReadsLeft;
        ReceivePacket(this, ReadSize);
        return;
    }
    FillOffset += ReadSize;
    if (ReadsLeft > 0) ReceivePacket(this, LengthPacket);
}

int TPublicDevCom::ClearBuf() {
    // Bounded, so a line that never stops sending cannot hold the caller here.
    int total = 0;
    for (int round = 0; round < 16; ++round) {
        const std::size_t n = PortTakePending(ComHandle, discard_, sizeof discard_);
        if (n == 0) break;
        total += static_cast<int>(n);
        if (OnDiscard) OnDiscard(discard_, static_cast<int>(n));
    }
    return total;
}

template <typename Value, typename Event>
void TPublicDevCom::ReceiveElements(int count, const Event& event) {
    if (count < 0) count = 0;
    ElementFill += count;
    if (ElementSize <= 0 || ElementFill < ElementSize) {
        FillOffset += count;
    } else {
        while (ElementFill >= ElementSize) {
            Value value;
            std::memcpy(&value, ChannelBuffer, sizeof value);
            if (event) event(value);
            FillOffset = 0;
            ReadSize = 0;
            ElementFill -= ElementSize;
        }
        if (ElementFill > 0) FillOffset += ElementFill;
    }
    // Bytes gathered toward an element can never point past the buffer.
    if (FillOffset > kChannelBufferSize) FillOffset = kChannelBufferSize;
}

void TPublicDevCom::ReceiveChar(TComponent*, int count) { ReceiveElements<char>(count, OnReceiveChar); }
void TPublicDevCom::ReceiveShort(TComponent*, int count) { ReceiveElements<short>(count, OnReceiveShort); }
void TPublicDevCom::ReceiveLong(TComponent*, int count) { ReceiveElements<int>(count, OnReceiveLong); }
void TPublicDevCom::ReceiveFloat(TComponent*, int count) { ReceiveElements<float>(count, OnReceiveFloat); }

void TPublicDevCom::ReceiveAll(TComponent*, int count) {
    if (!OnAllReceive) return;
    if (count < 0) count = 0;
    if (count > kChannelBufferSize - 1) count = kChannelBufferSize - 1;
    ChannelBuffer[count] = 0;
    OnAllReceive(ChannelBuffer, count);
}

}  // namespace q31
