#pragma once

namespace q31 {

// A control that shows a text, such as a progress label: archive transfers
// write the number of values still to fetch into it.
class IProgressControl {
public:
    virtual ~IProgressControl() = default;
    // `text` is plain ASCII digits.
    virtual void SetText(const char* text) = 0;
};

}  // namespace q31
