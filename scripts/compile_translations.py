#!/usr/bin/env python3
"""Compiles the program's translation tables (gettext .po files) into a C++ source at build time.

fr.po holds every key (msgid, the English text as the program writes it) with its French text;
en.po holds the English text of the few keys that are not English text themselves. The entries
are written in the order of fr.po, which is the order in which the program registers them.
Only the standard library is used. Any malformed or incomplete entry stops the build with a
message naming the file and line.
"""

import argparse
import sys

ESCAPES = {'n': '\n', 't': '\t', '\\': '\\', '"': '"', 'r': '\r'}


class PoError(Exception):
    pass


def unquote(text, where):
    """The value of one quoted .po string line, with its escapes resolved."""
    text = text.strip()
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise PoError('%s: expected a quoted string' % where)
    body, out, i = text[1:-1], [], 0
    while i < len(body):
        c = body[i]
        if c == '\\':
            if i + 1 >= len(body) or body[i + 1] not in ESCAPES:
                raise PoError('%s: unknown escape in %s' % (where, text))
            out.append(ESCAPES[body[i + 1]])
            i += 2
        elif c == '"':
            raise PoError('%s: unescaped quote in %s' % (where, text))
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def read_po(path):
    """The entries of a .po file as (msgid, msgstr, line) in file order, header left out."""
    entries, cur, field, flags = [], None, None, set()

    def finish():
        nonlocal cur, flags
        if cur is not None:
            if 'msgid' not in cur or 'msgstr' not in cur:
                raise PoError('%s:%d: entry without msgid or msgstr' % (path, cur['line']))
            if 'fuzzy' in flags and cur['msgid'] != '':
                raise PoError('%s:%d: fuzzy entry (review it and remove the flag)' % (path, cur['line']))
            entries.append((cur['msgid'], cur['msgstr'], cur['line']))
        cur, flags = None, set()

    with open(path, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip('\n')
            where = '%s:%d' % (path, number)
            stripped = line.strip()
            if not stripped:
                continue
            if stripped.startswith('#,'):
                if cur is not None and 'msgstr' in cur:
                    finish()
                flags |= {f.strip() for f in stripped[2:].split(',')}
            elif stripped.startswith('#'):
                if cur is not None and 'msgstr' in cur:
                    finish()
            elif stripped.startswith('msgid '):
                if cur is not None:
                    finish()
                cur, field = {'line': number}, 'msgid'
                cur['msgid'] = unquote(stripped[6:], where)
            elif stripped.startswith('msgstr '):
                if cur is None or 'msgid' not in cur or 'msgstr' in cur:
                    raise PoError('%s: msgstr without its msgid' % where)
                field = 'msgstr'
                cur['msgstr'] = unquote(stripped[7:], where)
            elif stripped.startswith('"'):
                if cur is None or field is None:
                    raise PoError('%s: string outside an entry' % where)
                cur[field] += unquote(stripped, where)
            else:
                raise PoError('%s: unsupported line (msgctxt and plurals are not used): %s'
                              % (where, stripped))
    finish()

    result, seen = [], {}
    for msgid, msgstr, number in entries:
        if msgid == '':
            if number != entries[0][2]:
                raise PoError('%s:%d: empty msgid outside the header' % (path, number))
            if 'charset=UTF-8' not in msgstr:
                raise PoError('%s:%d: the header must declare charset=UTF-8' % (path, number))
            continue
        if msgid in seen:
            raise PoError('%s:%d: msgid already given at line %d' % (path, number, seen[msgid]))
        seen[msgid] = number
        result.append((msgid, msgstr, number))
    return result


def c_string(text):
    """A C++ string literal holding the UTF-8 bytes of `text`."""
    out = ['"']
    for byte in text.encode('utf-8'):
        c = chr(byte)
        if c == '"' or c == '\\':
            out.append('\\' + c)
        elif c == '\n':
            out.append('\\n')
        elif c == '\t':
            out.append('\\t')
        elif c == '\r':
            out.append('\\r')
        elif 0x20 <= byte < 0x7F:
            out.append(c)
        else:
            out.append('\\%03o' % byte)
    out.append('"')
    return ''.join(out)


def compile_tables(english_path, french_path):
    french = read_po(french_path)
    english = read_po(english_path)
    keys = {msgid for msgid, _, _ in french}
    english_texts = {}
    for msgid, msgstr, number in english:
        if msgid not in keys:
            raise PoError('%s:%d: key %r is missing from %s' % (english_path, number, msgid, french_path))
        english_texts[msgid] = msgstr
    for msgid, msgstr, number in french:
        if msgstr == '':
            raise PoError('%s:%d: untranslated key %r' % (french_path, number, msgid))

    lines = [
        '// Built-in translation tables, generated at build time by scripts/compile_translations.py',
        '// from src/support/translations/fr.po and en.po. Do not edit: edit the .po files.',
        '#include "translation_builtin.h"',
        '',
        'namespace {',
        '',
        'constexpr BuiltinTranslation kEntries[] = {',
    ]
    for msgid, msgstr, _ in french:
        english_text = english_texts.get(msgid)
        lines.append('    {%s, %s, %s},' % (
            c_string(msgid),
            c_string(english_text) if english_text is not None else 'nullptr',
            c_string(msgstr)))
    lines += [
        '};',
        '',
        '}  // namespace',
        '',
        'std::span<const BuiltinTranslation> BuiltinTranslations() { return kEntries; }',
        '',
    ]
    return '\n'.join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--english', required=True, help='en.po: English texts that differ from their key')
    parser.add_argument('--french', required=True, help='fr.po: every key with its French text')
    parser.add_argument('--output', required=True, help='the C++ source to write')
    args = parser.parse_args()
    try:
        source = compile_tables(args.english, args.french)
    except (PoError, OSError, UnicodeDecodeError) as error:
        print('compile_translations: %s' % error, file=sys.stderr)
        return 1
    try:
        with open(args.output, encoding='utf-8') as f:
            if f.read() == source:
                return 0
    except OSError:
        pass
    with open(args.output, 'w', encoding='utf-8') as f:
        f.write(source)
    return 0


if __name__ == '__main__':
    sys.exit(main())
