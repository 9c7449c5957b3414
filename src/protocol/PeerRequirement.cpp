#include "protocol/PeerRequirement.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <cstdlib>

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

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string hexDigitsLowercased(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (!isHexDigit(c))
            continue;
        result.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return result;
}

std::string sha1Hex(const Bytes& bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1) {
        // libcrypto without SHA-1 cannot classify anything; that is a broken installation.
        std::fputs("SHA-1 is not available from libcrypto\n", stderr);
        std::abort();
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0x0F]);
    }
    return text;
}

// Evaluates requirement texts against the facts of a peer. The text is parsed completely before
// the answer counts, so a malformed clause anywhere fails the whole requirement, even inside an
// alternative that would otherwise have been met.
//
//   expression := conjunction { ("or" | "||") conjunction }
//   conjunction := negation { ("and" | "&&") negation }
//   negation := ("!" | "not") negation | primary
//   primary := "(" expression ")" | "always" | "true" | "never" | "false"
//            | "identifier" ["="] value
//            | "anchor" ("apple" ["generic"] | "trusted" | ["="] hash)
//            | ("certificate" | "cert") position
//                ("[" field "]" ("exists" | "absent" | operator value) | ["="] hash | "trusted")
//
// Linux has no code signatures, so anchor and certificate clauses are never met.
class Evaluator {
public:
    Evaluator(std::string_view text, const PeerFacts& facts) : text(text), facts(facts) {}

    bool evaluate() {
        advance();
        bool met = expression();
        if (current.kind != TokenKind::end)
            fail();
        return !failed && met;
    }

private:
    enum class TokenKind {
        end,
        word,
        string,
        hash,
        openParenthesis,
        closeParenthesis,
        openBracket,
        closeBracket,
        equal,
        comparison,
        exclamation,
        doubleAmpersand,
        doubleBar,
    };

    struct Token {
        TokenKind kind = TokenKind::end;
        std::string text;
    };

    // Deep enough for any requirement people write, shallow enough for any stack.
    static constexpr int maximumDepth = 64;

    static bool isWordCharacter(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '/' || c == '+' || c == ':';
    }

    static bool isKeyword(std::string_view word) {
        return word == "and" || word == "or" || word == "not" || word == "exists" ||
               word == "absent";
    }

    void fail() {
        failed = true;
        current = {};
        position = text.size();
    }

    char peek(std::size_t offset = 0) const {
        return position + offset < text.size() ? text[position + offset] : '\0';
    }

    std::optional<std::string> quotedText() {
        std::string result;
        ++position;
        while (position < text.size()) {
            char c = text[position++];
            if (c == '"')
                return result;
            if (c == '\\') {
                if (position == text.size())
                    return std::nullopt;
                c = text[position++];
            }
            result.push_back(c);
        }
        return std::nullopt;
    }

    void lexHash() {
        ++position;
        std::optional<std::string> digits = quotedText();
        if (!digits) {
            fail();
            return;
        }
        for (char c : *digits) {
            if (!isHexDigit(c)) {
                fail();
                return;
            }
        }
        current = {TokenKind::hash, std::move(*digits)};
    }

    void lexPunctuation() {
        char c = peek();
        char next = peek(1);
        auto take = [&](TokenKind kind, std::size_t length) {
            current = {kind, std::string(text.substr(position, length))};
            position += length;
        };
        switch (c) {
        case '(':
            return take(TokenKind::openParenthesis, 1);
        case ')':
            return take(TokenKind::closeParenthesis, 1);
        case '[':
            return take(TokenKind::openBracket, 1);
        case ']':
            return take(TokenKind::closeBracket, 1);
        case '=':
            return take(TokenKind::equal, 1);
        case '~':
            return take(TokenKind::comparison, 1);
        case '<':
        case '>':
            return take(TokenKind::comparison, next == '=' ? 2 : 1);
        case '!':
            return take(TokenKind::exclamation, 1);
        case '&':
            if (next == '&')
                return take(TokenKind::doubleAmpersand, 2);
            break;
        case '|':
            if (next == '|')
                return take(TokenKind::doubleBar, 2);
            break;
        default:
            break;
        }
        fail();
    }

    void advance() {
        if (failed)
            return;
        while (position < text.size() &&
               (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++position;
        if (position == text.size()) {
            current = {};
            return;
        }
        char c = peek();
        if (c == 'H' && peek(1) == '"')
            return lexHash();
        if (c == '"') {
            std::optional<std::string> string = quotedText();
            if (!string)
                return fail();
            current = {TokenKind::string, std::move(*string)};
            return;
        }
        if (isWordCharacter(c)) {
            std::size_t start = position;
            while (position < text.size() && isWordCharacter(peek()))
                ++position;
            current = {TokenKind::word, std::string(text.substr(start, position - start))};
            return;
        }
        lexPunctuation();
    }

    bool atWord(std::string_view word) const {
        return current.kind == TokenKind::word && current.text == word;
    }

    void expect(TokenKind kind) {
        if (current.kind != kind)
            return fail();
        advance();
    }

    void expectWord(std::string_view word) {
        if (!atWord(word))
            return fail();
        advance();
    }

    // A quoted string or a bare word; keywords are not values.
    std::string value() {
        bool usable = current.kind == TokenKind::string ||
                      (current.kind == TokenKind::word && !isKeyword(current.text));
        if (!usable) {
            fail();
            return {};
        }
        std::string result = std::move(current.text);
        advance();
        return result;
    }

    void hash() {
        if (current.kind == TokenKind::equal)
            advance();
        expect(TokenKind::hash);
    }

    bool expression() {
        if (++depth > maximumDepth) {
            fail();
            return false;
        }
        bool met = conjunction();
        while (atWord("or") || current.kind == TokenKind::doubleBar) {
            advance();
            bool alternative = conjunction();
            met = met || alternative;
        }
        --depth;
        return met;
    }

    bool conjunction() {
        bool met = negation();
        while (atWord("and") || current.kind == TokenKind::doubleAmpersand) {
            advance();
            bool other = negation();
            met = met && other;
        }
        return met;
    }

    bool negation() {
        if (atWord("not") || current.kind == TokenKind::exclamation) {
            if (++depth > maximumDepth) {
                fail();
                return false;
            }
            advance();
            bool met = !negation();
            --depth;
            return met;
        }
        return primary();
    }

    bool primary() {
        if (current.kind == TokenKind::openParenthesis) {
            advance();
            bool met = expression();
            expect(TokenKind::closeParenthesis);
            return met;
        }
        if (current.kind != TokenKind::word) {
            fail();
            return false;
        }
        std::string keyword = current.text;
        advance();
        if (keyword == "always" || keyword == "true")
            return true;
        if (keyword == "never" || keyword == "false")
            return false;
        if (keyword == "identifier")
            return identifierClause();
        if (keyword == "anchor")
            return anchorClause();
        if (keyword == "certificate" || keyword == "cert")
            return certificateClause();
        fail();
        return false;
    }

    bool identifierClause() {
        if (current.kind == TokenKind::equal)
            advance();
        std::string expected = value();
        return !failed && expected == facts.identifier;
    }

    bool anchorClause() {
        if (atWord("apple")) {
            advance();
            if (atWord("generic"))
                advance();
        } else if (atWord("trusted")) {
            advance();
        } else {
            hash();
        }
        return false;
    }

    bool certificateClause() {
        bool positioned = atWord("leaf") || atWord("root") || atWord("anchor") || isIndex();
        if (!positioned) {
            fail();
            return false;
        }
        advance();
        if (current.kind == TokenKind::openBracket) {
            advance();
            if (current.kind != TokenKind::word || isKeyword(current.text))
                fail();
            advance();
            expect(TokenKind::closeBracket);
            match();
        } else if (atWord("trusted")) {
            advance();
        } else {
            hash();
        }
        return false;
    }

    bool isIndex() const {
        if (current.kind != TokenKind::word)
            return false;
        std::string_view digits = current.text;
        if (!digits.empty() && digits.front() == '-')
            digits.remove_prefix(1);
        if (digits.empty())
            return false;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
        }
        return true;
    }

    void match() {
        if (atWord("exists") || atWord("absent"))
            return advance();
        if (current.kind != TokenKind::equal && current.kind != TokenKind::comparison)
            return fail();
        advance();
        if (current.kind == TokenKind::hash)
            return advance();
        value();
    }

    std::string_view text;
    const PeerFacts& facts;
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

Signer signer(const std::optional<std::string>& teamIdentifier,
              const std::optional<Bytes>& leafCertificate) {
    if (teamIdentifier && !teamIdentifier->empty())
        return Signer::team(*teamIdentifier);
    if (leafCertificate)
        return Signer::certificate(sha1Hex(*leafCertificate));
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

bool isWeak(const Signer& signer) {
    return signer.kind == Signer::Kind::adHoc;
}

bool isSatisfied(std::string_view requirement, const PeerFacts& facts) {
    return Evaluator(requirement, facts).evaluate();
}

} // namespace veltro::PeerRequirement
