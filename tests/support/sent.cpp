#include "sent.h"

#include <sstream>

Sent Sent::parse(const std::string& record) {
    Sent s;
    std::istringstream in(record);
    unsigned conn = 0, kind = 0, verb = 0, answered = 0;
    while (in >> conn >> kind >> verb >> answered)
        s.requests.push_back(ts::RequestSeen{conn, static_cast<ts::RequestKind>(kind), verb, answered != 0});
    return s;
}

size_t Sent::count(ts::RequestKind kind, uint32_t verb) const {
    size_t n = 0;
    for (const ts::RequestSeen& r : requests) n += r.kind == kind && (verb == 0 || r.verb == verb) ? 1 : 0;
    return n;
}

size_t Sent::unanswered() const {
    size_t n = 0;
    for (const ts::RequestSeen& r : requests) n += r.answered ? 0 : 1;
    return n;
}

std::string Sent::letters() const {
    std::string out;
    for (const ts::RequestSeen& r : requests) {
        switch (r.kind) {
            case ts::RequestKind::Create: out += 'c'; break;
            case ts::RequestKind::Ping: out += 'p'; break;
            case ts::RequestKind::StateChange: out += 's'; break;
            case ts::RequestKind::Verb:
                out += r.verb == 1 ? 'r' : r.verb == 3 ? 'g' : r.verb == 57 ? 'L' : r.verb == 59 ? 'A' : 'v';
                break;
            default: break;
        }
    }
    return out;
}
