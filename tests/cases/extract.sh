# Extract in place: members by decreasing offset, type system into sys/,
# the others here; the package is empty afterwards. An unmapped -d type is
# named on stderr.
three
mkdir sys
$KB -e p.pac -d system,sys -d modem, -d nothing,sys
