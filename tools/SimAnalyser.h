#pragma once

#include "measurement/RecordDecoder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

// The analyser as the simulator plays it: parses request frames and builds the
// replies, with measurements queued until acknowledged and faults on request.
// No I/O here; the program around it moves the bytes.

struct TSimMeasurement {
    quint64 Id = 0;
    TMeasurementRecord Record;
    bool Offered = false; // sent intact at least once since queued
};

// What to do for one request frame.
struct TSimReply {
    QByteArray Now;        // write at once
    QByteArray Later;      // write after LaterDelayMs
    int LaterDelayMs = 0;
    bool HangUp = false;   // close the line right after Now
    std::vector<std::string> Events; // stdout lines, in order
};

enum class TSimFault { None, NoReply, Short, Split, WrongTail, BadFloat, Surplus, Garbage, HangUp };

const char* SimFaultName(TSimFault fault);
std::optional<TSimFault> SimFaultFromName(const std::string& name);

class TSimAnalyser {
public:
    TSimAnalyser(quint16 device, quint32 seed);

    bool Long7 = false;
    bool Verbose = false;
    double FaultProbability = 0.0;  // random fault per command-6 reply
    int HangUpAfter = -1;           // exchanges before a mid-reply hang-up; -1 never
    int SplitDelayMs = 350;         // more than the 284 ms time-out of a 234-byte read
    double AckDropProbability = 0.0; // random drop per command-9 frame

    // Command-9 frames dropped (no echo, the measurement stays new): the next
    // count frames, or every frame until the clock passes until.
    void DropAcks(int count) { dropAcks_ += count; }
    void DropAcksUntil(std::chrono::steady_clock::time_point until) { dropAcksUntil_ = until; }

    // Bytes from the line; one reply per complete frame for this device.
    std::vector<TSimReply> Feed(QByteArrayView bytes);

    // Queues a measurement; returns its id. Throws EConvertError when a value
    // cannot be held by the device float format.
    quint64 Queue(const TMeasurementRecord& record);
    // A plausible beverage measurement, flags 0x0800.
    TMeasurementRecord Generate();
    void QueueFault(TSimFault fault, int count);

    std::size_t Pending() const { return queue_.size(); }

private:
    TSimReply Answer(quint8 command);
    TSimReply AnswerRecord();
    TSimFault NextFault();
    bool DropAck();
    QByteArray Carriers(const TMeasurementRecord& record);
    QByteArray RandomBytes(int count);

    quint16 device_ = 1;
    QByteArray address_;
    QByteArray input_;
    std::mt19937 rng_;
    quint64 nextId_ = 1;
    std::deque<TSimMeasurement> queue_;
    std::deque<TSimFault> faults_;
    int exchanges_ = 0;
    int dropAcks_ = 0;
    std::chrono::steady_clock::time_point dropAcksUntil_{};
};
