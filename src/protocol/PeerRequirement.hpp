#pragma once

#include <string>
#include <string_view>

// Peer requirements: who signed this program, the requirement text that peers signed the same
// way meet, and the check of such a text against what is known of a peer.
namespace veltro::PeerRequirement {

struct Signer {
    enum class Kind { team, certificate, adHoc };

    Kind kind = Kind::adHoc;
    // The team identifier, or the leaf certificate's SHA-1 as hexadecimal text; empty for adHoc.
    std::string value;

    static Signer team(std::string teamIdentifier);
    static Signer certificate(std::string sha1);
    static Signer adHoc();

    friend bool operator==(const Signer&, const Signer&) = default;
};

// The signer of the running program. Linux has no code-signing facility for executables, so
// this is always adHoc.
Signer signerOfThisProcess();

// The requirement text that a peer with `identifier`, signed like `signer`, meets. orByApple
// also admits code that Apple signed for distribution (team signers only).
std::string requirement(const Signer& signer, std::string_view identifier, bool orByApple);

// What is known of a peer on this platform.
struct PeerFacts {
    std::string identifier;
};

// Whether a peer with these facts meets the requirement text: `identifier "X"` clauses joined
// by and/or (and binding tighter) and parentheses. Any other clause, about anchors or
// certificates say, is never met, since no peer here has a signature; a text that does not
// parse is never met.
bool isSatisfied(std::string_view requirement, const PeerFacts& facts);

} // namespace veltro::PeerRequirement
