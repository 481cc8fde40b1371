// The virtual meter's bus on a pseudo-terminal: the line stays the same
// (same slave path) for the life of the object.
#pragma once

#include "sim/SimLine.h"
#include "support/Pty.h"

namespace q31::sim {

class PtyLine : public SimLine {
public:
    ~PtyLine() override { PtyClose(pty_); }

    bool Open() override { return pty_.master >= 0 || PtyOpen(pty_); }
    const std::string& Name() const override { return pty_.slavePath; }
    int Connection(int) override { return pty_.master; }
    // No slave side yet on some systems: the line comes back by itself.
    bool Lost() override { return false; }
    void Discard() override { PtyDiscardInput(pty_.master); }

private:
    PtyPair pty_;
};

}  // namespace q31::sim
