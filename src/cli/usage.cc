#include "cli/cli.h"

namespace kb {

// Scripts and people have read this text for years; its spellings stay.
const char USAGE_TEXT[] =
    "\r\nkestrelbind -m dest-file-name -f decimal-feature-value -a "
    "system,sytem-file-name,sytem-file-version -a modem,modem-file-name,modem-file-version -a "
    "idu,idu-file-name,idu-file-version -a config,config-file-name,config-file-version\r\n"
    "kestrelbind -e extract-file-name -d <file-type>,<dest-directory>\r\n"
    "kestrelbind -l list-file-name\r\n"
    "kestrelbind -r extract-file-name -n abc.tar.gz\r\n"
    "kestrelbind -r extract-file-name -t system\r";

// What --help adds after the usage text: the options that came later.
const char HELP_TEXT[] =
    "kestrelbind -c package [-n name] [-t type]   check every member's MD5, writing nothing\n"
    "kestrelbind -l package --json                the listing as one JSON document\n"
    "kestrelbind -c package --json                the check as one JSON document\n"
    "  -p          extract without cutting the package\n"
    "  -k keyfile  with -e, -r or -c: verify package.minisig with this minisign key first\n"
    "  --json      with -l or -c: stdout holds the document alone, other messages go to stderr\n"
    "  -V, --version, -h, --help\n"
    "Make refuses members that are not regular files, two members of one type and name, and\n"
    "types, names or versions holding control bytes. Notes for people go to stderr.\n"
    "See kestrelbind(1).\n";

const char VERSION_TEXT[] = "kestrelbind " KESTRELBIND_VERSION "\n";

}  // namespace kb
