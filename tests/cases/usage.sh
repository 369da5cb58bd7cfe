# No arguments: the usage text; --help adds every option; -V the version.
step
step -l p.pac --help
$KB -x -V
