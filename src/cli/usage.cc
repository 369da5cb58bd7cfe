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

// Scripts parse stdout, so what the usage text never said goes to stderr.
const char OPTIONS_TEXT[] =
    "\nMore options (see kestrelbind(1)):\n"
    "  -c package        check every member's MD5, writing nothing\n"
    "  -p                extract without cutting the package\n"
    "  -k keyfile        with -e, -r, -c: verify package.minisig with this minisign public key\n"
    "  --expect TOKEN    with -k: the trusted comment must hold TOKEN as a whole word "
    "(repeatable)\n"
    "  --newer-than N    with -k: the trusted comment must hold timestamp:T with T > N\n"
    "  -V, --version     print the version\n";

const char VERSION_TEXT[] = "kestrelbind " KESTRELBIND_VERSION "\n";

}  // namespace kb
