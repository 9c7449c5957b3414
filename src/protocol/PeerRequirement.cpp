#include "protocol/PeerRequirement.hpp"

namespace veltro::PeerRequirement {

namespace {

constexpr std::string_view appleDistributionMarker = "1.2.840.113635.100.6.1.9";
constexpr std::string_view appleStoreMarker = "1.2.840.113635.100.6.1.25.1";

std::string quoted(std::string_view text) {
    // Backslashes first, so the backslash that escapes a quote is not doubled again.
    std::string result = "\"";
    for (char c : text) {
        if (c == '\\')
            result += "\\\\";
        else if (c == '"')
            result += "\\\"";
        else
            result.push_back(c);
    }
    result.push_back('"');
    return result;
}

std::string hexDigitsLowercased(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (c >= 'A' && c <= 'F')
            result.push_back(static_cast<char>(c - 'A' + 'a'));
        else if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
            result.push_back(c);
    }
    return result;
}

// Parses a requirement text and tells whether a peer's identifier meets it:
//
//   expression  := conjunction { ("or" | "||") conjunction }
//   conjunction := clause { ("and" | "&&") clause }
//   clause      := "(" expression ")" | "identifier" ["="] value | other
//   other       := word { word | string | "=" }
//
// An `other` clause (anchors, certificates, fields, negations) asks for a signature, which no
// peer has here, so it is never met. There is no negation on purpose: it would turn such a
// clause into one that everybody meets. The whole text is parsed before the answer counts, so a
// malformed part fails it even next to an alternative that is met.
class Parser {
public:
    Parser(std::string_view text, std::string_view identifier)
        : text(text), identifier(identifier) {}

    bool isMet() {
        advance();
        bool met = expression();
        return !failed && current.kind == Kind::end && met;
    }

private:
    enum class Kind { end, word, string, equal, open, close, conjunction, disjunction };

    struct Token {
        Kind kind = Kind::end;
        std::string text;
    };

    // Deep enough for any requirement people write, shallow enough for any stack.
    static constexpr int maximumDepth = 64;

    static bool isWordCharacter(char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte > ' ' && byte != 0x7F &&
               std::string_view("\"()=&|").find(c) == std::string_view::npos;
    }

    bool fail() {
        failed = true;
        current = {};
        return false;
    }

    void advance() {
        if (failed)
            return;
        position = text.find_first_not_of(" \t\r\n", position);
        if (position == std::string_view::npos) {
            position = text.size();
            current = {};
            return;
        }
        std::string_view rest = text.substr(position);
        switch (rest[0]) {
        case '"':
            return quotedString();
        case '(':
            return take(Kind::open, 1);
        case ')':
            return take(Kind::close, 1);
        case '=':
            return take(Kind::equal, 1);
        default:
            break;
        }
        if (rest.starts_with("&&"))
            return take(Kind::conjunction, 2);
        if (rest.starts_with("||"))
            return take(Kind::disjunction, 2);
        word(rest);
    }

    void word(std::string_view rest) {
        std::size_t length = 0;
        while (length < rest.size() && isWordCharacter(rest[length]))
            ++length;
        if (length == 0) {
            fail();
            return;
        }
        std::string_view spelling = rest.substr(0, length);
        take(spelling == "and"  ? Kind::conjunction
             : spelling == "or" ? Kind::disjunction
                                : Kind::word,
             length);
    }

    void take(Kind kind, std::size_t length) {
        current = {kind, std::string(text.substr(position, length))};
        position += length;
    }

    // A backslash takes the next character as it is, quote or backslash alike.
    void quotedString() {
        std::string result;
        for (++position; position < text.size(); ++position) {
            char c = text[position];
            if (c == '"') {
                ++position;
                current = {Kind::string, std::move(result)};
                return;
            }
            if (c == '\\' && ++position == text.size())
                break;
            result.push_back(text[position]);
        }
        fail();
    }

    bool expression() {
        if (++depth > maximumDepth)
            return fail();
        bool met = conjunction();
        while (current.kind == Kind::disjunction) {
            advance();
            bool alternative = conjunction();
            met = met || alternative;
        }
        --depth;
        return met;
    }

    bool conjunction() {
        bool met = clause();
        while (current.kind == Kind::conjunction) {
            advance();
            bool other = clause();
            met = met && other;
        }
        return met;
    }

    bool clause() {
        if (current.kind == Kind::open) {
            advance();
            bool met = expression();
            if (current.kind != Kind::close)
                return fail();
            advance();
            return met;
        }
        if (current.kind != Kind::word)
            return fail();
        if (current.text == "identifier")
            return identifierClause();
        while (current.kind == Kind::word || current.kind == Kind::string ||
               current.kind == Kind::equal)
            advance();
        return false;
    }

    bool identifierClause() {
        advance();
        if (current.kind == Kind::equal)
            advance();
        if (current.kind != Kind::string && current.kind != Kind::word)
            return fail();
        bool met = current.text == identifier;
        advance();
        return met;
    }

    std::string_view text;
    std::string_view identifier;
    std::size_t position = 0;
    Token current;
    int depth = 0;
    bool failed = false;
};

} // namespace

Signer Signer::team(std::string teamIdentifier) {
    return {Kind::team, std::move(teamIdentifier)};
}

Signer Signer::certificate(std::string sha1) {
    return {Kind::certificate, std::move(sha1)};
}

Signer Signer::adHoc() {
    return {Kind::adHoc, {}};
}

Signer signerOfThisProcess() {
    return Signer::adHoc();
}

std::string requirement(const Signer& signer, std::string_view identifier, bool orByApple) {
    std::string identifierClause = "identifier " + quoted(identifier);
    switch (signer.kind) {
    case Signer::Kind::team: {
        std::string teamClause = "certificate leaf[subject.OU] = " + quoted(signer.value);
        std::string prefix = "anchor apple generic and " + identifierClause + " and ";
        if (!orByApple)
            return prefix + teamClause;
        return prefix + "(" + teamClause + " or certificate leaf[field." +
               std::string(appleDistributionMarker) + "] exists or certificate leaf[field." +
               std::string(appleStoreMarker) + "] exists)";
    }
    case Signer::Kind::certificate:
        return identifierClause + " and certificate leaf = H\"" +
               hexDigitsLowercased(signer.value) + "\"";
    case Signer::Kind::adHoc:
        return identifierClause;
    }
    return identifierClause;
}

bool isSatisfied(std::string_view requirement, const PeerFacts& facts) {
    return Parser(requirement, facts.identifier).isMet();
}

} // namespace veltro::PeerRequirement
