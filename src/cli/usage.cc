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

// What --help adds after the usage text: every option, one line each.
const char HELP_TEXT[] =
    "\nOptions (see kestrelbind(1) for the whole story):\n"
    "  -m package         make package from the -a members, with the -f feature\n"
    "  -a type,path,ver   add a member (make); -f feature: the package's feature string\n"
    "  -l package         list the package; --json: as one JSON document\n"
    "  -e package         extract in place; -d type,dir: members of type into dir\n"
    "  -p                 extract without cutting the package; -t type: only that type\n"
    "  -r package         read one member chosen by -n name and/or -t type\n"
    "  -o target          with -r: write it to target (a file, a device, - for stdout)\n"
    "  -c package         check every member's MD5, writing nothing; --json: as JSON\n"
    "  -k keyfile         with -e, -r, -c: verify package.minisig with this minisign key\n"
    "  --expect TOKEN     with -k: the trusted comment must hold TOKEN as a whole word\n"
    "  --newer-than N     with -k: the trusted comment must hold timestamp:T with T > N\n"
    "  -V, --version      the version; -h, --help: this text\n";

const char VERSION_TEXT[] = "kestrelbind " KESTRELBIND_VERSION "\n";

}  // namespace kb
