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

const char VERSION_TEXT[] = "kestrelbind " KESTRELBIND_VERSION "\n";

}  // namespace kb
