#include "tools/SimAnalyser.h"

#include "analyser/FPConvert.h"

#include <cmath>

namespace {

constexpr int RecordReplyLength = 234;

QByteArray AddressOf(quint16 number) {
    QByteArray a(4, '\0');
    a[0] = static_cast<char>(0x90 | (number & 0xF));
    a[1] = static_cast<char>(0xA0 | ((number >> 4) & 0xF));
    a[2] = static_cast<char>(0xA0 | ((number >> 8) & 0xF));
    a[3] = static_cast<char>(0xA0 | ((number >> 12) & 0xF));
    return a;
}

quint8 Byte(QByteArrayView v, qsizetype i) { return static_cast<quint8>(v[i]); }

const TSimFault kRandomFaults[] = {TSimFault::NoReply,   TSimFault::Short,    TSimFault::Split,
                                   TSimFault::WrongTail, TSimFault::BadFloat, TSimFault::Surplus,
                                   TSimFault::Garbage};

} // namespace

const char* SimFaultName(TSimFault fault) {
    switch (fault) {
    case TSimFault::None: return "none";
    case TSimFault::NoReply: return "noreply";
    case TSimFault::Short: return "short";
    case TSimFault::Split: return "split";
    case TSimFault::WrongTail: return "wrongtail";
    case TSimFault::BadFloat: return "badfloat";
    case TSimFault::Surplus: return "surplus";
    case TSimFault::Garbage: return "garbage";
    case TSimFault::HangUp: return "hangup";
    }
    return "none";
}

std::optional<TSimFault> SimFaultFromName(const std::string& name) {
    for (TSimFault f : {TSimFault::NoReply, TSimFault::Short, TSimFault::Split,
                        TSimFault::WrongTail, TSimFault::BadFloat, TSimFault::Surplus,
                        TSimFault::Garbage, TSimFault::HangUp})
        if (name == SimFaultName(f))
            return f;
    return std::nullopt;
}

TSimAnalyser::TSimAnalyser(quint16 device, quint32 seed)
    : device_(device), address_(AddressOf(device)), rng_(seed) {}

std::vector<TSimReply> TSimAnalyser::Feed(QByteArrayView bytes) {
    std::vector<TSimReply> replies;
    input_.append(bytes.data(), bytes.size());
    for (;;) {
        // A frame starts at the only byte tagged 0x9; anything before it is
        // noise or the rest of a broken frame.
        qsizetype start = 0;
        while (start < input_.size() && (Byte(input_, start) & 0xF0) != 0x90)
            ++start;
        input_.remove(0, start);
        if (input_.size() < 5)
            break;
        bool tagged = true;
        for (int i = 1; i < 4; ++i)
            tagged = tagged && (Byte(input_, i) & 0xF0) == 0xA0;
        if (!tagged) {
            input_.remove(0, 1);
            continue;
        }
        const QByteArray frame = input_.left(5);
        input_.remove(0, 5);
        const quint8 command = Byte(frame, 4);
        TSimReply reply;
        if (frame.left(4) == address_) {
            reply = Answer(command);
            if (Verbose)
                reply.Events.insert(reply.Events.begin(), "CMD " + std::to_string(command));
        } else if (Verbose) {
            reply.Events.push_back("CMD " + std::to_string(command) + " other");
        }
        replies.push_back(std::move(reply));
    }
    return replies;
}

TSimReply TSimAnalyser::Answer(quint8 command) {
    TSimReply reply;
    if (command != 4 && command != 6 && command != 7 && command != 9)
        return reply;
    const bool hangUpNow = HangUpAfter >= 0 && exchanges_ >= HangUpAfter;
    ++exchanges_;
    switch (command) {
    case 4:
        reply.Now = address_;
        break;
    case 9:
        if (DropAck()) {
            reply.Events.push_back("FAULT noack");
            break;
        }
        reply.Now = address_;
        if (!queue_.empty() && queue_.front().Offered) {
            reply.Events.push_back("ACK " + std::to_string(queue_.front().Id));
            queue_.pop_front();
        }
        break;
    case 7:
        reply.Now = RandomBytes(Long7 ? 88 : 72) + address_;
        break;
    case 6:
        reply = AnswerRecord();
        break;
    }
    if (hangUpNow) {
        // The line goes in the middle of the reply.
        QByteArray all = reply.Now + reply.Later;
        reply.Now = all.left(qMax<qsizetype>(1, all.size() / 2));
        reply.Later.clear();
        reply.HangUp = true;
        reply.Events.push_back("FAULT hangup");
    }
    return reply;
}

bool TSimAnalyser::DropAck() {
    if (dropAcks_ > 0) {
        --dropAcks_;
        return true;
    }
    if (std::chrono::steady_clock::now() < dropAcksUntil_)
        return true;
    return AckDropProbability > 0.0 &&
           std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < AckDropProbability;
}

TSimFault TSimAnalyser::NextFault() {
    if (!faults_.empty()) {
        const TSimFault f = faults_.front();
        faults_.pop_front();
        return f;
    }
    if (FaultProbability > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < FaultProbability) {
        const auto n = std::size(kRandomFaults);
        return kRandomFaults[std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_)];
    }
    return TSimFault::None;
}

TSimReply TSimAnalyser::AnswerRecord() {
    TSimReply reply;
    const TSimFault fault = NextFault();
    TMeasurementRecord record;
    TSimMeasurement* head = queue_.empty() ? nullptr : &queue_.front();
    if (head)
        record = head->Record;
    QByteArray carriers = Carriers(record);
    if (fault == TSimFault::BadFloat) {
        int k = 0;
        while (k < IndicatorCount - 1 && (record.Mask & (1u << k)))
            ++k;
        // Exponent 1 without the leading mantissa bit: refused by the format.
        const quint8 word[4] = {0x00, 0x00, 0x00, 0x01};
        for (int j = 0; j < 4; ++j) {
            const int at = 2 * (7 + 4 * k + j);
            carriers[at] = static_cast<char>((Byte(carriers, at) & 0xF0) | (word[j] & 0x0F));
            carriers[at + 1] =
                static_cast<char>((Byte(carriers, at + 1) & 0xF0) | (word[j] >> 4));
        }
    }
    const QByteArray full = carriers + address_;
    bool intact = false;
    switch (fault) {
    case TSimFault::None:
        reply.Now = full;
        intact = true;
        break;
    case TSimFault::NoReply:
        break;
    case TSimFault::Short:
        reply.Now = full.left(RecordReplyLength - 1);
        break;
    case TSimFault::Split:
        reply.Now = full.left(100);
        reply.Later = full.mid(100);
        reply.LaterDelayMs = SplitDelayMs;
        intact = true;
        break;
    case TSimFault::WrongTail: {
        QByteArray other = carriers + AddressOf(static_cast<quint16>(device_ + 1));
        reply.Now = other;
        break;
    }
    case TSimFault::BadFloat:
        reply.Now = full;
        break;
    case TSimFault::Surplus:
        reply.Now = full + RandomBytes(40);
        intact = true;
        break;
    case TSimFault::Garbage:
        reply.Now = RandomBytes(std::uniform_int_distribution<int>(1, 300)(rng_));
        break;
    case TSimFault::HangUp:
        reply.Now = full.left(RecordReplyLength / 2);
        reply.HangUp = true;
        break;
    }
    if (fault != TSimFault::None)
        reply.Events.push_back(std::string("FAULT ") + SimFaultName(fault));
    if (intact && head) {
        head->Offered = true;
        reply.Events.push_back("SENT " + std::to_string(head->Id));
    }
    return reply;
}

QByteArray TSimAnalyser::Carriers(const TMeasurementRecord& record) {
    QByteArray carriers = EncodeRecordCarriers(record);
    // The analyser leaves the high halves of the carriers undefined.
    for (auto& c : carriers)
        c = static_cast<char>((static_cast<quint8>(c) & 0x0F) | (rng_() & 0xF0));
    return carriers;
}

QByteArray TSimAnalyser::RandomBytes(int count) {
    QByteArray bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(rng_() & 0xFF);
    return bytes;
}

quint64 TSimAnalyser::Queue(const TMeasurementRecord& record) {
    EncodeRecordCarriers(record); // refuses values the format cannot hold
    TSimMeasurement m;
    m.Id = nextId_++;
    m.Record = record;
    queue_.push_back(m);
    return m.Id;
}

TMeasurementRecord TSimAnalyser::Generate() {
    auto around = [this](double mid, double spread, double step) {
        const double v = std::uniform_real_distribution<double>(mid - spread, mid + spread)(rng_);
        return std::round(v / step) * step;
    };
    TMeasurementRecord r;
    // Temperature, alcohol, extract, density and alcohol by volume.
    r.Mask = (1u << 0) | (1u << 1) | (1u << 2) | (1u << 4) | (1u << 8);
    r.Flags = 0x0800;
    r.Calibration = 1;
    r.Values[0] = around(20.0, 0.5, 0.01);
    r.Values[1] = around(5.0, 0.3, 0.01);
    r.Values[2] = around(4.0, 0.3, 0.01);
    r.Values[4] = around(1.01, 0.003, 0.0001);
    r.Values[8] = std::round(r.Values[1] * 1.26 * 100.0) / 100.0;
    return r;
}

void TSimAnalyser::QueueFault(TSimFault fault, int count) {
    for (int i = 0; i < count; ++i)
        faults_.push_back(fault);
}
