#include "name_template.h"

#include <string.h>

#include <string>

#include "bounded_text.h"

namespace {

// DOS names kept their base to eight characters; a template that builds the base itself
// still cuts a longer one there. A base of a lone '*' keeps the source's base whole, long
// names included: COPY with no template must not rename LONGFILENAME.TXT.
constexpr size_t kDosBaseChars = 8;

bool IsLoneStar(const char* text, size_t length) { return length == 1 && text[0] == '*'; }

struct Part {
  const char* text;
  size_t length;
};

// Base and extension of a name, split at its first dot. hasDot tells "A." from "A".
void Split(const char* name, Part& base, Part& extension, bool& hasDot) {
  const char* dot = strchr(name, '.');
  hasDot = dot != nullptr;
  base = {name, hasDot ? size_t(dot - name) : strlen(name)};
  extension = hasDot ? Part{dot + 1, strlen(dot + 1)} : Part{"", 0};
}

bool IsWildcard(char c) { return c == '?' || c == '*'; }

// What one part of the template makes of the same part of the source. '?' takes the source's
// character, '*' takes the rest of the source and ends the template's part, anything else is
// taken as it is in place of a source character. A template part shorter than the source's,
// without '*', gives its own characters only and drops the rest of the source, as DOS did.
void ApplyPart(const Part& source, const Part& pattern, std::string& out) {
  size_t i = 0, j = 0;
  while (i < source.length && j < pattern.length) {
    char t = pattern.text[j];
    if (t == '*') {
      out.append(source.text + i, source.length - i);
      j = pattern.length;
      break;
    }
    out += t == '?' ? source.text[i] : t;
    ++i;
    ++j;
  }
  for (; j < pattern.length; ++j)
    if (!IsWildcard(pattern.text[j])) out += pattern.text[j];
}

}  // namespace

bool ApplyNameTemplate(const char* source, const char* nameTemplate, char* out, size_t size) {
  if (!strchr(nameTemplate, '*') && !strchr(nameTemplate, '?')) {
    if (CopyText(out, size, nameTemplate)) return true;
    CopyText(out, size, "");
    return false;
  }
  Part sourceBase, sourceExtension, templateBase, templateExtension;
  bool sourceHasDot = false, templateHasDot = false;
  Split(source, sourceBase, sourceExtension, sourceHasDot);
  Split(nameTemplate, templateBase, templateExtension, templateHasDot);
  std::string name;
  ApplyPart(sourceBase, templateBase, name);
  if (sourceHasDot) {
    if (name.size() > kDosBaseChars && !IsLoneStar(templateBase.text, templateBase.length))
      name.resize(kDosBaseChars);
    name += '.';
    ApplyPart(sourceExtension, templateExtension, name);
  }
  if (CopyText(out, size, name.c_str())) return true;
  CopyText(out, size, "");
  return false;
}
