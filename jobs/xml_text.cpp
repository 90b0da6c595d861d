// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/xml_text.h"

#include <cstdint>
#include <utility>

namespace jobs {
namespace {

// Deeper nesting than this is read on, but not followed element by element.
constexpr size_t kMaxDepth = 512;
// Blanks a single text:s may stand for.
constexpr uint32_t kMaxSpaces = 64;

enum class TokenKind { kStart, kEnd, kEmpty, kText, kRawText };

struct Token {
  TokenKind kind = TokenKind::kText;
  std::string_view name;        // qualified name ("w:t") for tags
  std::string_view attributes;  // what follows the name inside the tag
  std::string_view text;        // for text
};

std::string_view LocalName(std::string_view name) {
  const size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view Prefix(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits XML into tags and text, skipping comments, processing
// instructions and declarations. Stops at the first unterminated construct.
class XmlTokens {
 public:
  explicit XmlTokens(std::string_view xml) : m_xml(xml) {}

  bool Next(Token* token) {
    while (m_pos < m_xml.size()) {
      if (m_xml[m_pos] != '<') {
        size_t lt = m_xml.find('<', m_pos);
        if (lt == std::string_view::npos) lt = m_xml.size();
        token->kind = TokenKind::kText;
        token->text = m_xml.substr(m_pos, lt - m_pos);
        m_pos = lt;
        return true;
      }
      const std::string_view rest = m_xml.substr(m_pos);
      if (rest.starts_with("<!--")) {
        if (!SkipPast("-->", 4)) return false;
        continue;
      }
      if (rest.starts_with("<![CDATA[")) {
        const size_t end = m_xml.find("]]>", m_pos + 9);
        if (end == std::string_view::npos) return false;
        token->kind = TokenKind::kRawText;
        token->text = m_xml.substr(m_pos + 9, end - m_pos - 9);
        m_pos = end + 3;
        return true;
      }
      if (rest.starts_with("<?")) {
        if (!SkipPast("?>", 2)) return false;
        continue;
      }
      if (rest.starts_with("<!")) {
        if (!SkipPast(">", 2)) return false;
        continue;
      }
      // A tag: up to the ">" outside quoted attribute values.
      size_t end = m_pos + 1;
      char quote = 0;
      while (end < m_xml.size() && (quote != 0 || m_xml[end] != '>')) {
        const char c = m_xml[end];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        }
        ++end;
      }
      if (end >= m_xml.size()) return false;
      std::string_view inner = m_xml.substr(m_pos + 1, end - m_pos - 1);
      m_pos = end + 1;
      token->kind = TokenKind::kStart;
      if (!inner.empty() && inner.front() == '/') {
        token->kind = TokenKind::kEnd;
        inner.remove_prefix(1);
      } else if (!inner.empty() && inner.back() == '/') {
        token->kind = TokenKind::kEmpty;
        inner.remove_suffix(1);
      }
      size_t nameEnd = 0;
      while (nameEnd < inner.size() && !IsBlank(inner[nameEnd])) ++nameEnd;
      token->name = inner.substr(0, nameEnd);
      token->attributes = inner.substr(nameEnd);
      if (token->name.empty()) continue;
      return true;
    }
    return false;
  }

 private:
  bool SkipPast(std::string_view mark, size_t from) {
    const size_t end = m_xml.find(mark, m_pos + from);
    if (end == std::string_view::npos) return false;
    m_pos = end + mark.size();
    return true;
  }

  std::string_view m_xml;
  size_t m_pos = 0;
};

// The value of attribute name (qualified, "t" or "text:c"); empty when absent.
std::string_view AttributeValue(std::string_view attributes, std::string_view name) {
  size_t i = 0;
  while (i < attributes.size()) {
    while (i < attributes.size() && IsBlank(attributes[i])) ++i;
    const size_t nameStart = i;
    while (i < attributes.size() && attributes[i] != '=' && !IsBlank(attributes[i])) ++i;
    const std::string_view found = attributes.substr(nameStart, i - nameStart);
    while (i < attributes.size() && IsBlank(attributes[i])) ++i;
    if (i >= attributes.size() || attributes[i] != '=') return {};
    ++i;
    while (i < attributes.size() && IsBlank(attributes[i])) ++i;
    if (i >= attributes.size() || (attributes[i] != '"' && attributes[i] != '\'')) return {};
    const char quote = attributes[i++];
    const size_t valueEnd = attributes.find(quote, i);
    if (valueEnd == std::string_view::npos) return {};
    if (found == name) return attributes.substr(i, valueEnd - i);
    i = valueEnd + 1;
  }
  return {};
}

// A small unsigned number; false when text is not one.
bool ParseCount(std::string_view text, uint32_t limit, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > limit) return false;
  *value = v;
  return true;
}

// Appends the UTF-8 form of a code point that is a character.
void AppendCodePoint(std::string& out, uint32_t cp) {
  if (cp == 0 || (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || (cp >= 0xD800 && cp <= 0xDFFF) ||
      cp > 0x10FFFF) {
    return;
  }
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one entity body ("amp", "#233", "#x263A"); false when unknown.
bool AppendEntity(std::string& out, std::string_view body) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [entity, c] : kNamed) {
    if (body == entity) {
      out.push_back(c);
      return true;
    }
  }
  if (body.size() < 2 || body.front() != '#' || body.size() > 10) return false;
  const bool hex = body[1] == 'x' || body[1] == 'X';
  const std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) return false;
  uint32_t cp = 0;
  for (char c : digits) {
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    cp = cp * (hex ? 16 : 10) + d;
    if (cp > 0x10FFFF) return false;
  }
  AppendCodePoint(out, cp);
  return true;
}

// Appends text with its entities decoded (raw: as it stands, for CDATA).
void AppendText(std::string& out, std::string_view text, bool raw) {
  if (raw) {
    out.append(text);
    return;
  }
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      return;
    }
    out.append(text.substr(i, amp - i));
    const size_t semi = text.find(';', amp + 1);
    if (semi != std::string_view::npos && semi - amp <= 12 && AppendEntity(out, text.substr(amp + 1, semi - amp - 1))) {
      i = semi + 1;
    } else {
      out.push_back('&');
      i = amp + 1;
    }
  }
}

// Lines without trailing blanks, at most one empty line in a row, no empty
// lines at either end.
std::string Tidy(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  int newlines = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) {
      ++newlines;
    } else {
      if (!out.empty()) out.append(newlines > 1 ? "\n\n" : "\n");
      out.append(line);
      newlines = 1;
    }
    start = end + 1;
  }
  return out;
}

struct Frame {
  std::string_view name;
  bool capture = false;
  bool cell = false;
};

}  // namespace

std::string TextOfDocumentXml(std::string_view xml, size_t maxBytes) {
  std::string out;
  std::vector<Frame> stack;
  size_t deeper = 0;  // elements open beyond kMaxDepth
  int capture = 0;
  int cells = 0;
  XmlTokens tokens(xml);
  Token t;
  while (out.size() < maxBytes && tokens.Next(&t)) {
    const std::string_view local = LocalName(t.name);
    const bool odf = Prefix(t.name) == "text";
    switch (t.kind) {
      case TokenKind::kText:
      case TokenKind::kRawText:
        if (capture > 0) AppendText(out, t.text, t.kind == TokenKind::kRawText);
        break;
      case TokenKind::kStart:
      case TokenKind::kEmpty: {
        const std::string_view parent = stack.empty() ? std::string_view() : LocalName(stack.back().name);
        if (local == "br" || (odf && local == "line-break")) {
          out.push_back('\n');
        } else if (local == "tab" && (odf || parent == "r")) {  // w:tab in w:tabs is a tab stop, not text
          out.push_back('\t');
        } else if (odf && local == "s") {
          uint32_t n = 1;
          if (!ParseCount(AttributeValue(t.attributes, "text:c"), kMaxSpaces, &n)) n = 1;
          out.append(n, ' ');
        }
        if (t.kind == TokenKind::kEmpty) break;
        if (stack.size() >= kMaxDepth) {
          ++deeper;
          break;
        }
        Frame f;
        f.name = t.name;
        f.capture = local == "t" || (odf && (local == "p" || local == "h"));
        f.cell = local == "tc" || t.name == "table:table-cell";
        capture += f.capture ? 1 : 0;
        cells += f.cell ? 1 : 0;
        stack.push_back(f);
        break;
      }
      case TokenKind::kEnd: {
        if (deeper > 0) {
          --deeper;
          break;
        }
        size_t match = stack.size();
        while (match > 0 && stack[match - 1].name != t.name) --match;
        if (match == 0) break;  // an end tag that closes nothing open
        while (stack.size() >= match) {
          capture -= stack.back().capture ? 1 : 0;
          cells -= stack.back().cell ? 1 : 0;
          stack.pop_back();
        }
        if (local == "p" || (odf && local == "h")) {
          out.push_back(cells > 0 ? ' ' : '\n');
        } else if (local == "tc" || t.name == "table:table-cell") {
          out.push_back('\t');
        } else if (local == "tr" || t.name == "table:table-row") {
          out.push_back('\n');
        }
        break;
      }
    }
  }
  if (out.size() > maxBytes) out.resize(maxBytes);
  return Tidy(out);
}

std::vector<std::string> SharedStringsOf(std::string_view xml, size_t maxCount) {
  std::vector<std::string> strings;
  std::string current;
  bool inItem = false;
  int inText = 0;
  int inPhonetic = 0;  // rPh: the reading of the text, not the text
  XmlTokens tokens(xml);
  Token t;
  while (strings.size() < maxCount && tokens.Next(&t)) {
    const std::string_view local = LocalName(t.name);
    switch (t.kind) {
      case TokenKind::kStart:
        if (local == "si") {
          inItem = true;
          current.clear();
          inText = inPhonetic = 0;
        } else if (local == "t") {
          ++inText;
        } else if (local == "rPh") {
          ++inPhonetic;
        }
        break;
      case TokenKind::kEmpty:
        if (local == "si") strings.emplace_back();
        break;
      case TokenKind::kEnd:
        if (local == "si" && inItem) {
          strings.push_back(current);
          inItem = false;
        } else if (local == "t" && inText > 0) {
          --inText;
        } else if (local == "rPh" && inPhonetic > 0) {
          --inPhonetic;
        }
        break;
      case TokenKind::kText:
      case TokenKind::kRawText:
        if (inItem && inText > 0 && inPhonetic == 0 && current.size() < (1u << 16)) {
          AppendText(current, t.text, t.kind == TokenKind::kRawText);
        }
        break;
    }
  }
  return strings;
}

std::string TextOfSheetXml(std::string_view xml, const std::vector<std::string>& shared, size_t maxBytes) {
  std::string out;
  bool anyRow = false;
  bool firstCell = true;
  bool inCell = false;
  std::string_view type;
  std::string value;
  int inValue = 0;   // v: the stored value
  int inInline = 0;  // is: an inline string, whose t runs are the value
  int inText = 0;
  XmlTokens tokens(xml);
  Token t;
  while (out.size() < maxBytes && tokens.Next(&t)) {
    const std::string_view local = LocalName(t.name);
    switch (t.kind) {
      case TokenKind::kStart:
      case TokenKind::kEmpty:
        if (local == "row") {
          if (anyRow) out.push_back('\n');
          anyRow = true;
          firstCell = true;
        } else if (local == "c") {
          if (!firstCell) out.push_back('\t');
          firstCell = false;
          inCell = t.kind == TokenKind::kStart;
          type = AttributeValue(t.attributes, "t");
          value.clear();
          inValue = inInline = inText = 0;
        } else if (t.kind == TokenKind::kStart && inCell) {
          if (local == "v") ++inValue;
          if (local == "is") ++inInline;
          if (local == "t") ++inText;
        }
        break;
      case TokenKind::kEnd:
        if (local == "c" && inCell) {
          inCell = false;
          uint32_t index = 0;
          if (type == "s") {
            if (ParseCount(value, UINT32_MAX - 1, &index) && index < shared.size()) out.append(shared[index]);
          } else {
            out.append(value);
          }
        } else if (local == "v" && inValue > 0) {
          --inValue;
        } else if (local == "is" && inInline > 0) {
          --inInline;
        } else if (local == "t" && inText > 0) {
          --inText;
        }
        break;
      case TokenKind::kText:
      case TokenKind::kRawText:
        if (inCell && (inValue > 0 || (inInline > 0 && inText > 0)) && value.size() < (1u << 16)) {
          AppendText(value, t.text, t.kind == TokenKind::kRawText);
        }
        break;
    }
  }
  if (out.size() > maxBytes) out.resize(maxBytes);
  return Tidy(out);
}

}  // namespace jobs
