// glob.cpp - the gitignore wildcard matcher: the pattern is compiled to tokens
// and matched by dynamic programming over (token, path position), one row at a
// time, so no pattern can make it backtrack.
#include "glob.h"

#include <bitset>
#include <vector>

namespace {

enum TokenKind {
    TokenByte,     // one given byte
    TokenAny,      // "?": one byte but "/"
    TokenSet,      // "[...]": one byte of the set, never "/"
    TokenStar,     // "*": any run of bytes without "/"
    TokenAnything, // "**" at the end after "/": any run of bytes
    TokenFolders,  // "**/" at the start or after "/": nothing, or any run ending in "/"
};

struct Token {
    TokenKind kind = TokenByte;
    unsigned char ch = 0;
    std::bitset<256> set;
};

bool isClassMember(const std::string &strClass, unsigned char ch, bool &bKnown)
{
    bKnown = true;
    const bool bUpper = ch >= 'A' && ch <= 'Z';
    const bool bLower = ch >= 'a' && ch <= 'z';
    const bool bDigit = ch >= '0' && ch <= '9';
    const bool bPrint = ch >= 0x20 && ch < 0x7F;
    const bool bSpace = ch == ' ' || (ch >= '\t' && ch <= '\r');
    if (strClass == "alnum") return bUpper || bLower || bDigit;
    if (strClass == "alpha") return bUpper || bLower;
    if (strClass == "blank") return ch == ' ' || ch == '\t';
    if (strClass == "cntrl") return ch < 0x20 || ch == 0x7F;
    if (strClass == "digit") return bDigit;
    if (strClass == "graph") return bPrint && ch != ' ';
    if (strClass == "lower") return bLower;
    if (strClass == "print") return bPrint;
    if (strClass == "punct") return bPrint && ch != ' ' && !bUpper && !bLower && !bDigit;
    if (strClass == "space") return bSpace;
    if (strClass == "upper") return bUpper;
    if (strClass == "xdigit") return bDigit || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
    bKnown = false;
    return false;
}

// Reads the bracket expression that starts after the "[" at pos; pos ends on
// its closing "]". False when it is unterminated or names an unknown class.
bool compileSet(const std::string &p, std::size_t &pos, std::bitset<256> &set)
{
    const std::size_t n = p.size();
    bool bNegated = false;
    if (pos < n && (p[pos] == '!' || p[pos] == '^')) {
        bNegated = true;
        ++pos;
    }
    // The first member may be "]" itself; prev is the last single byte, for a range.
    int prev = -1;
    bool bFirst = true;
    while (true) {
        if (pos >= n)
            return false;
        unsigned char ch = static_cast<unsigned char>(p[pos]);
        if (ch == ']' && !bFirst)
            break;
        bFirst = false;
        if (ch == '\\') {
            if (++pos >= n)
                return false;
            ch = static_cast<unsigned char>(p[pos]);
            set.set(ch);
            prev = ch;
        } else if (ch == '-' && prev >= 0 && pos + 1 < n && p[pos + 1] != ']') {
            unsigned char last = static_cast<unsigned char>(p[++pos]);
            if (last == '\\') {
                if (++pos >= n)
                    return false;
                last = static_cast<unsigned char>(p[pos]);
            }
            for (int c = prev; c <= last; ++c)
                set.set(static_cast<std::size_t>(c));
            prev = -1;
        } else if (ch == '[' && pos + 1 < n && p[pos + 1] == ':') {
            const std::size_t posName = pos + 2;
            const std::size_t posEnd = p.find(']', posName);
            if (posEnd == std::string::npos)
                return false;
            if (posEnd < posName + 1 || p[posEnd - 1] != ':') {
                // No ":]": the "[" is an ordinary member.
                set.set('[');
                prev = '[';
            } else {
                const std::string strClass = p.substr(posName, posEnd - 1 - posName);
                for (int c = 0; c < 256; ++c) {
                    bool bKnown = false;
                    if (isClassMember(strClass, static_cast<unsigned char>(c), bKnown))
                        set.set(static_cast<std::size_t>(c));
                    if (!bKnown)
                        return false;
                }
                pos = posEnd;
                prev = -1;
            }
        } else {
            set.set(ch);
            prev = ch;
        }
        ++pos;
    }
    if (bNegated)
        set.flip();
    set.reset('/');
    return true;
}

// False when the pattern can match nothing.
bool compile(const std::string &p, std::vector<Token> &tokens)
{
    const std::size_t n = p.size();
    for (std::size_t pos = 0; pos < n; ++pos) {
        Token token;
        const char ch = p[pos];
        if (ch == '*') {
            const std::size_t posFirst = pos;
            while (pos + 1 < n && p[pos + 1] == '*')
                ++pos;
            const bool bRun = pos > posFirst;
            const bool bAfterSlash = posFirst == 0 || p[posFirst - 1] == '/';
            const std::size_t posNext = pos + 1;
            const bool bAtEnd = posNext == n;
            const bool bSlashNext = posNext < n && p[posNext] == '/';
            const bool bEscapedSlashNext = posNext + 1 < n && p[posNext] == '\\' && p[posNext + 1] == '/';
            if (bRun && bAfterSlash && (bAtEnd || bSlashNext || bEscapedSlashNext)) {
                if (bAtEnd) {
                    token.kind = TokenAnything;
                } else {
                    token.kind = TokenFolders;
                    pos = bSlashNext ? posNext : posNext + 1; // the "/" belongs to the token
                }
            } else {
                token.kind = TokenStar;
            }
            if (token.kind == TokenStar && !tokens.empty() && tokens.back().kind == TokenStar)
                continue;
        } else if (ch == '?') {
            token.kind = TokenAny;
        } else if (ch == '[') {
            token.kind = TokenSet;
            ++pos;
            if (!compileSet(p, pos, token.set))
                return false;
        } else if (ch == '\\') {
            if (++pos >= n)
                return false;
            token.ch = static_cast<unsigned char>(p[pos]);
        } else {
            token.ch = static_cast<unsigned char>(ch);
        }
        tokens.push_back(token);
    }
    return true;
}

} // namespace

bool wildMatch(const std::string &strPattern, const std::string &strText)
{
    std::vector<Token> tokens;
    if (!compile(strPattern, tokens))
        return false;
    const std::size_t s = strText.size();
    const auto byteAt = [&strText](std::size_t j) { return static_cast<unsigned char>(strText[j]); };
    // next[j]: the tokens after the current one match strText from j to its end.
    std::vector<char> next(s + 1, 0), cur(s + 1, 0);
    next[s] = 1;
    for (std::size_t i = tokens.size(); i-- > 0;) {
        const Token &t = tokens[i];
        cur[s] = t.kind == TokenStar || t.kind == TokenAnything || t.kind == TokenFolders ? next[s] : 0;
        bool bFolder = false; // TokenFolders: some "/" at or after j is followed by a match
        for (std::size_t j = s; j-- > 0;) {
            const unsigned char ch = byteAt(j);
            switch (t.kind) {
            case TokenByte: cur[j] = ch == t.ch && next[j + 1]; break;
            case TokenAny: cur[j] = ch != '/' && next[j + 1]; break;
            case TokenSet: cur[j] = t.set.test(ch) && next[j + 1]; break;
            case TokenStar: cur[j] = next[j] || (ch != '/' && cur[j + 1]); break;
            case TokenAnything: cur[j] = next[j] || cur[j + 1]; break;
            case TokenFolders:
                bFolder = bFolder || (ch == '/' && next[j + 1]);
                cur[j] = next[j] || bFolder;
                break;
            }
        }
        next.swap(cur);
    }
    return next[0] != 0;
}

bool parseGlobLine(const std::string &strLineIn, bool bNegation, GlobPattern &pattern)
{
    std::string strLine = strLineIn;
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    if (strLine.empty() || strLine[0] == '#')
        return false;
    // Trailing blanks go, unless a "\" escapes the first of them; a "\" at
    // the very end stays (and makes a pattern that matches nothing).
    std::size_t posBlank = std::string::npos;
    for (std::size_t i = 0; i < strLine.size(); ++i) {
        if (strLine[i] == ' ') {
            if (posBlank == std::string::npos)
                posBlank = i;
        } else if (strLine[i] == '\\') {
            if (++i >= strLine.size()) {
                posBlank = std::string::npos;
                break;
            }
            posBlank = std::string::npos;
        } else {
            posBlank = std::string::npos;
        }
    }
    if (posBlank != std::string::npos)
        strLine.erase(posBlank);

    pattern = GlobPattern();
    if (bNegation && !strLine.empty() && strLine[0] == '!') {
        pattern.bNegate = true;
        strLine.erase(0, 1);
    }
    if (!strLine.empty() && strLine.back() == '/') {
        pattern.bDirOnly = true;
        strLine.pop_back();
    }
    pattern.bBaseName = strLine.find('/') == std::string::npos;
    if (!strLine.empty() && strLine[0] == '/')
        strLine.erase(0, 1);
    if (strLine.empty())
        return false;
    pattern.strPattern = strLine;
    return true;
}

bool globMatches(const GlobPattern &pattern, const std::string &strRel, bool bDir)
{
    if (pattern.bDirOnly && !bDir)
        return false;
    if (pattern.bBaseName) {
        const std::size_t posSlash = strRel.rfind('/');
        return wildMatch(pattern.strPattern, posSlash == std::string::npos ? strRel : strRel.substr(posSlash + 1));
    }
    return wildMatch(pattern.strPattern, strRel);
}
