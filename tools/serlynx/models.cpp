#include "models.h"

#include <cstdio>
#include <sstream>

#include "sim/bulk_model.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/rcs310_model.h"

namespace serlynx {

namespace {

const char* ParityName(uint8_t p) {
    static const char* names[] = {"none", "odd", "even", "mark", "space"};
    return p < 5 ? names[p] : "?";
}
const char* StopName(uint8_t s) {
    static const char* names[] = {"1", "1.5", "2"};
    return s < 3 ? names[s] : "?";
}
const char* Bool(bool b) {
    return b ? "true" : "false";
}

BuiltModel Ftdi(sim::FtdiModelConfig config, std::shared_ptr<sim::SerialLine> line) {
    auto m = std::make_shared<sim::FtdiModel>(config, std::move(line));
    auto state = [m] {
        sim::FtdiState s = m->State();
        std::ostringstream o;
        o << "{\"model\":\"" << m->Name() << "\",\"baud\":" << s.baud
          << ",\"rateCode\":" << s.rateCode << ",\"dataBits\":" << int(s.dataBits)
          << ",\"parity\":\"" << ParityName(s.parity) << "\",\"stopBits\":\""
          << StopName(s.stopBits) << "\",\"dtr\":" << Bool(s.dtr) << ",\"rts\":" << Bool(s.rts)
          << ",\"break\":" << Bool(s.breakOn) << ",\"badRequests\":" << s.badRequests
          << ",\"bytesSent\":" << m->BytesSent() << ",\"bytesReceived\":" << m->BytesReceived()
          << "}";
        return o.str();
    };
    return {m, state};
}

BuiltModel Cdc(sim::CdcModelConfig config, std::shared_ptr<sim::SerialLine> line,
               std::shared_ptr<sim::SerialLine> line2) {
    auto m = std::make_shared<sim::CdcModel>(config, std::move(line), std::move(line2));
    auto state = [m] {
        sim::LineConfig c = m->Coding();
        std::ostringstream o;
        o << "{\"model\":\"" << m->Name() << "\",\"baud\":" << c.baud
          << ",\"dataBits\":" << int(c.dataBits) << ",\"parity\":\"" << ParityName(c.parity)
          << "\",\"stopBits\":\"" << StopName(c.stopBits) << "\",\"dtr\":" << Bool(m->Dtr())
          << ",\"rts\":" << Bool(m->Rts()) << ",\"break\":" << Bool(m->Break())
          << ",\"codingAccepted\":" << Bool(!m->LastLineCoding().empty())
          << ",\"bytesSent\":" << m->BytesSent() << ",\"bytesReceived\":" << m->BytesReceived()
          << "}";
        return o.str();
    };
    return {m, state};
}

}  // namespace

const std::vector<ModelEntry>& Models() {
    static const std::vector<ModelEntry> models = {
        {"ftdi", "FTDI full-speed divisor chip (64-byte packets)",
         [](auto line, auto) { return Ftdi(sim::FtdiModelConfig::FullSpeed(), line); }},
        {"ftdi-hs", "FTDI high-speed divisor chip (512-byte packets)",
         [](auto line, auto) { return Ftdi(sim::FtdiModelConfig::HighSpeed(), line); }},
        {"ftdi-header", "FTDI early chip: rate codes, a header byte on every write",
         [](auto line, auto) { return Ftdi(sim::FtdiModelConfig::HeaderFramed(), line); }},
        {"cdc-acm", "CDC abstract control model: communication and data interfaces",
         [](auto line, auto) { return Cdc(sim::CdcAcmConfig(), line, nullptr); }},
        {"cdc-cts", "single vendor interface with a status endpoint reporting CTS",
         [](auto line, auto) { return Cdc(sim::CdcCtsChipConfig(), line, nullptr); }},
        {"cdc-nocoding", "CDC device that refuses line coding",
         [](auto line, auto) { return Cdc(sim::CdcNoCodingConfig(), line, nullptr); }},
        {"cdc-two-channel", "one communication and two data interfaces (the first is served)",
         [](auto line, auto line2) { return Cdc(sim::CdcTwoChannelConfig(), line, line2); }},
        {"cdc-composite", "composite device: storage and keypad, then CDC at interfaces 2 and 3",
         [](auto line, auto) { return Cdc(sim::CdcCompositeConfig(), line, nullptr); }},
        {"bulk", "bulk-only adapter without a control protocol",
         [](auto line, auto) {
             auto m = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
             auto state = [m] {
                 std::ostringstream o;
                 o << "{\"model\":\"bulk\",\"bytesSent\":" << m->BytesSent()
                   << ",\"bytesReceived\":" << m->BytesReceived() << "}";
                 return o.str();
             };
             return BuiltModel{m, state};
         }},
        {"rcs310", "type-4 reader: writes as vendor requests, reads on bulk-IN",
         [](auto line, auto) {
             auto m = std::make_shared<sim::Rcs310Model>(sim::Rcs310ModelConfig{}, line);
             auto state = [m] {
                 std::ostringstream o;
                 o << "{\"model\":\"rcs310\",\"bytesSent\":" << m->BytesSent()
                   << ",\"bytesReceived\":" << m->BytesReceived() << "}";
                 return o.str();
             };
             return BuiltModel{m, state};
         }},
    };
    return models;
}

const ModelEntry* FindModel(const std::string& name) {
    for (const ModelEntry& m : Models()) {
        if (m.name == name)
            return &m;
    }
    return nullptr;
}

std::string ModelNames() {
    std::string names;
    for (const ModelEntry& m : Models())
        names += (names.empty() ? "" : ", ") + m.name;
    return names;
}

}  // namespace serlynx
