// How a serial line is set: speed and character framing.
#pragma once

namespace q31 {

enum class LineParity { None, Odd, Even };

struct LineSettings {
    int baud = 9600;
    int dataBits = 8;  // 5 to 8
    LineParity parity = LineParity::None;
    int stopBits = 1;  // 1 or 2

    // The time one character takes on the wire (start, data, parity and stop
    // bits), in microseconds, rounded up; 0 for a speed of 0 or less.
    int CharTimeMicros() const {
        if (baud <= 0) return 0;
        const int bits = 1 + dataBits + (parity == LineParity::None ? 0 : 1) + stopBits;
        return static_cast<int>((1000000LL * bits + baud - 1) / baud);
    }
};

}  // namespace q31
