#include "sim/catalog.h"

#include <sstream>

namespace sim {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

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

BuiltModel Build(const FtdiModelConfig& config, std::shared_ptr<SerialLine> line) {
    auto m = std::make_shared<FtdiModel>(config, std::move(line));
    auto state = [m] {
        FtdiState s = m->State();
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
    return {m, state, [m] { return m->Pending(); }, [m] { return m->BytesDropped(); }};
}

BuiltModel Build(const CdcModelConfig& config, std::shared_ptr<SerialLine> line,
                 std::shared_ptr<SerialLine> line2) {
    auto m = std::make_shared<CdcModel>(config, std::move(line), std::move(line2));
    auto state = [m] {
        LineConfig c = m->Coding();
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
    return {m, state, [m] { return m->Pending(); }, [m] { return m->BytesDropped(); }};
}

// Models without settings to decode report their byte counters only.
template <class Model>
BuiltModel BuildPlain(std::shared_ptr<Model> m) {
    auto state = [m] {
        std::ostringstream o;
        o << "{\"model\":\"" << m->Name() << "\",\"bytesSent\":" << m->BytesSent()
          << ",\"bytesReceived\":" << m->BytesReceived() << "}";
        return o.str();
    };
    return {m, state, [m] { return m->Pending(); }, [m] { return m->BytesDropped(); }};
}

}  // namespace

BuiltModel BuildModel(const ModelConfig& config, std::shared_ptr<SerialLine> line,
                      std::shared_ptr<SerialLine> line2) {
    return std::visit(Overloaded{
                          [&](const BulkModelConfig& c) {
                              return BuildPlain(std::make_shared<BulkAdapterModel>(c, line));
                          },
                          [&](const CdcModelConfig& c) { return Build(c, line, line2); },
                          [&](const FtdiModelConfig& c) { return Build(c, line); },
                          [&](const Rcs310ModelConfig& c) {
                              return BuildPlain(std::make_shared<Rcs310Model>(c, line));
                          },
                      },
                      config);
}

DataPath DataPathOf(const ModelConfig& config) {
    return std::visit(Overloaded{
                          [](const BulkModelConfig& c) {
                              return DataPath{c.inEndpoint, c.outEndpoint, 0, c.inPacket};
                          },
                          [](const CdcModelConfig& c) {
                              return DataPath{c.dataIn, c.dataOut, c.notifyEndpoint, c.bulkPacket};
                          },
                          [](const FtdiModelConfig& c) {
                              return DataPath{c.inEndpoint, c.outEndpoint, 0, c.packet};
                          },
                          // Writes travel as vendor requests on the default pipe.
                          [](const Rcs310ModelConfig& c) {
                              return DataPath{c.inEndpoint, 0, 0, c.inPacket};
                          },
                      },
                      config);
}

const std::vector<ModelEntry>& Models() {
    static const std::vector<ModelEntry> models = {
        {"ftdi", "FTDI full-speed divisor chip (64-byte packets)", 0x203,
         FtdiModelConfig::FullSpeed()},
        {"ftdi-hs", "FTDI high-speed divisor chip (512-byte packets)", 0x203,
         FtdiModelConfig::HighSpeed()},
        {"ftdi-header", "FTDI early chip: rate codes, a header byte on every write", 0x3,
         FtdiModelConfig::HeaderFramed()},
        {"cdc-acm", "CDC abstract control model: communication and data interfaces", 0x1,
         CdcAcmConfig()},
        {"cdc-cts", "single vendor interface with a status endpoint reporting CTS", 0x101,
         CdcCtsChipConfig()},
        {"cdc-nocoding", "CDC device that refuses line coding", 0x1001, CdcNoCodingConfig()},
        {"cdc-two-channel", "one communication and two data interfaces (the first is served)", 0x2,
         CdcTwoChannelConfig()},
        {"cdc-composite", "composite device: storage and keypad, then CDC at interfaces 2 and 3",
         0x1, CdcCompositeConfig()},
        {"bulk", "bulk-only adapter without a control protocol", 0x0, BulkModelConfig{}},
        {"rcs310", "type-4 reader: writes as vendor requests, reads on bulk-IN", 0x4,
         Rcs310ModelConfig{}},
    };
    return models;
}

const ModelEntry* FindModel(std::string_view name) {
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

}  // namespace sim
