// The main MCU's serial bootloader exchange (the STM32 USART bootloader) as
// a flow of its own: sync at even parity, Get, Get ID, two Read Memory
// queries, mass erase and the image in 128-byte pieces from 0x08000000,
// and on request the written flash read back. Each byte from the
// bootloader and each tick of its four timers moves it on; it sends
// through its FlowLink and tells whoever runs it, by the Step it returns,
// what there is to show.
//
// On its own pacing it pauses before its writes, holds some back on
// FlowTimer::BootSend and lets the tick of FlowTimer::BootAnswer stand in
// for an acknowledgement that did not come. Paced by its answers (the
// command line's mcu --fast) the bytes are the same, but each goes out as
// soon as the bootloader has answered the one before, BootAnswer is the
// limit of each step, and its expiry or a NACK of the erase or a write ends
// the exchange with the failure.
#pragma once

#include <cstdint>
#include <string>

#include "engine/FlowLink.h"
#include "engine/FlowTimings.h"
#include "firmware/FirmwareState.h"
#include "pattern/StreamState.h"

namespace quillet {

// Paced by the bootloader's answers: how long each step may wait for its
// answer unless the front end says otherwise.
inline constexpr unsigned kBootStepTimeoutMs = 10000;

class McuBootloaderFlow {
public:
    // The operator's choices for the exchange.
    struct Settings {
        bool verifyAfterWrite = false;  // read the written flash back before the verdict
        bool pacedByAnswers = false;    // each byte as soon as the one before was answered
        unsigned stepTimeoutMs = kBootStepTimeoutMs;  // paced by the answers: the limit of a step
        // How long the bootloader may send nothing at all while a request
        // waits (on the flow's own pacing); 0: no limit.
        unsigned silenceLimitMs = kBootSilenceMs;
    };

    // What a byte or a tick leaves for whoever runs the flow to show.
    enum class Step {
        None,
        Erase,          // a byte of the erase step: the wait text before it has done its work
        Progress,       // a piece went out, or the last one was acknowledged: Percent() moved
        LastPieceSent,  // the last piece went out; Percent() stays until its acknowledgement
        Done,           // the last piece was acknowledged and the exchange ended well (100 %)
        Verified,       // the flash read back equal to the image: the exchange ended well
        Failed,         // the exchange is over and failed: close the port, then tell the
                        // failure (VerdictTold)
        Closed,         // the exchange is over: close the port, nothing left to tell
    };

    // Where it stands, for the operator.
    enum class Phase {
        BeforeErase,  // sync and the queries
        EraseAsked,   // the erase command is out, not yet taken by the bootloader
        Erasing,      // the bootloader took the erase command
        Writing,      // the pieces
        LastPiece,    // every piece is out; the last one's acknowledgement is awaited
        Verifying,    // the written flash is read back
    };

    // `image`: the stream that holds the image (its bytes and size); its
    // position counts the image bytes sent so far.
    McuBootloaderFlow(FlowLink& link, StreamState& image) : m_link(link), m_image(image) {}

    Settings& Options() { return m_settings; }
    const Settings& Options() const { return m_settings; }

    // The image is loaded and the port given up for the exchange: the sync
    // timer starts, and the exchange runs until its verdict. The driver
    // reopens the port at even parity on the timer's first tick; a tick
    // handed to the flow (OnTimer) starts the exchange with the sync byte.
    void Begin();
    // A byte from the bootloader.
    Step OnByte(std::uint8_t b);
    // A tick of one of the flow's timers.
    Step OnTimer(FlowTimer timer);
    // Back to no exchange and its timers stopped; the failure, its address
    // and whether it timed out stay for the verdict.
    void Reset();
    // The driver tells the failure now (after Step::Failed, or when it ends
    // an exchange whose verdict is pending): the exchange no longer runs.
    void VerdictTold();

    // The bootloader's bytes go to the flow while this holds.
    bool Active() const { return m_s.active == 1; }
    // From Begin until the verdict: the MCU's flash is being written.
    bool Running() const { return m_s.running; }
    // A failed exchange waits for the answer timer to close the port before
    // its failure is told.
    bool VerdictPending() const { return m_s.verdictPending; }
    BootState State() const { return m_s.state; }
    Phase CurrentPhase() const;
    // The percentage of the image sent (100 once the last piece was
    // acknowledged); 0 before the first piece.
    float Percent() const { return m_s.percent; }
    // Pieces whose data packet has gone out, of the image's pieces.
    std::uint32_t PiecesSent() const;
    std::uint32_t PieceCount() const;
    // While it runs: its stage by phase and the pieces sent.
    FlowSnapshot Snapshot() const;

    // The verdict: empty while every erase and write part was acknowledged
    // by the bootloader itself and the read-back, if asked for, found the
    // flash equal to the image.
    const std::string& Failure() const { return m_s.failure; }
    std::uint32_t FailureAddress() const { return m_s.failureAddress; }
    // The bootloader stopped answering (silence, or a step's limit when
    // paced by the answers).
    bool TimedOut() const { return m_s.timedOut; }

private:
    // What each state does with a byte (kAnswers, by BootState).
    Step Answer(std::uint8_t b);
    Step SyncAnswer(std::uint8_t b);
    Step QueryAnswer(std::uint8_t b);
    Step ReadAnswer(std::uint8_t b);
    Step EraseAnswer(std::uint8_t b);
    Step WriteAnswer(std::uint8_t b);
    Step LastAckAnswer(std::uint8_t b);
    Step VerifyAnswer(std::uint8_t b);
    Step CheckReadBlock();

    // Timer ticks.
    Step SyncTick();
    Step SendTick();
    Step AnswerTick();
    Step SilenceTick();
    void Start();
    void Fail(bool timedOut);

    void Write(const std::uint8_t* bytes, std::size_t length);
    void WriteCommand(std::uint8_t opcode);
    void WriteAddress(std::uint32_t address);
    void WriteCount(std::uint32_t count);
    void Pause(unsigned ms);
    void ArmAnswer(unsigned ms);
    void ArmSend(std::uint32_t length, unsigned delayMs);
    void QueuePacket(std::uint8_t first, std::uint8_t second, unsigned delayMs);
    Step SendDataPacket();
    void EndOnFailure();
    Step EndExchange();
    void RequestReadBlock();
    void VerifyFailed(std::string why, std::uint32_t address);
    void RecordUnacked(bool erase, std::uint32_t address);
    void RecordUnanswered();
    void SetState(BootState state);

    FlowLink& m_link;
    StreamState& m_image;
    Settings m_settings;
    BootloaderState m_s;
};

} // namespace quillet
