# Which test suites the Windows build leaves out, and why; sourced by
# scripts/windows/build.sh and scripts/windows/test.sh.
# shellcheck shell=bash disable=SC2034

# Suites whose code cannot be compiled for Windows: not built.
declare -A NOT_BUILT=(
  [tst_cloudservice]="starts PostgreSQL as its own POSIX user (PostgresCluster, Linux only); drives the Linux zip tool and bash too"
)

# Suites that build but cannot work under Wine: not run.
declare -A CANNOT_RUN=(
  [tst_releasetrust]="signs its fixtures with the Linux python3 (dsse_sign.py); Wine starts it without a handle to wait on"
  [tst_pingserver]="plays ping with /bin/sh scripts put first on PATH; Wine's own ping writes its replies only when it ends, after the probe's 1 s wait"
)

# Parts of a suite that cannot work under Wine, as suite:function or
# suite:function:row; the rest of the suite runs.
declare -A PARTS_NOT_RUN=(
  [tst_fileutils:removeDirectoryDoesNotFollowLinks:the folder itself]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_fileutils:removeDirectoryDoesNotFollowLinks:dangling link inside]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_installjournal:crashedUpdateThroughTheUpdater]="makes its package with the Linux zip tool"
  [tst_updateflow:workFolderLinksAreNotFollowed:work folder]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_updateflow:workFolderLinksAreNotFollowed:unpack folder]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_updateflow:workFolderLinksAreNotFollowed:backup folder]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_updateflow:failsClosed:a link leads out of the installation]="QFile::link makes a shortcut file on Windows, not a link"
  [tst_updateflow:failsClosed:config.ini cannot be written]="makes config.ini immutable with the Linux chattr, which Windows files do not have"
  [tst_updateflow:failsClosed:package larger than the free space]="a full disk is a tmpfs mount, which Windows programs cannot make"
  [tst_updateflow:failsClosed:endless body on a small disk]="a full disk is a tmpfs mount, which Windows programs cannot make"
  [tst_updateflow:throughProxy]="runs squid, a Linux program, which Wine starts but cannot wait on or stop"
  [tst_copyfileover:ownerAndMode]="gives files to another user (chown) and acts as one (seteuid): POSIX owners"
  [tst_copyfileover:specialBitsAndLinks]="checks set-user-ID, set-group-ID and sticky bits, which Windows files do not have"
  [tst_packageinstaller:installedFilesBelongToTheInstallation]="gives files to other users (chown) and checks POSIX owners and modes"
  [tst_packageinstaller:linkIsReplacedAsLink]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file; a set-user-ID bit too"
  [tst_packageinstaller:failedInstallRollsBackCompletely:replaced file whose package file is a link]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file"
  [tst_packageinstaller:refusedPreparationChangesNothing:a link leads out to a set-user-ID file]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file"
  [tst_packageinstaller:refusedPreparationChangesNothing:a link leads out to nothing yet]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file"
  [tst_packageinstaller:refusedPreparationChangesNothing:a linked folder leads out]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file"
  [tst_packageinstaller:refusedPreparationChangesNothing:config.ini leads out]="Wine 8 makes no symbolic link (CreateSymbolicLinkW succeeds without one) and QFile::link makes a shortcut file"
  [tst_packageinstaller:refusedPreparationChangesNothing:an immutable target]="sets immutable and append-only attributes with the Linux chattr, which Windows files do not have"
  [tst_packageinstaller:refusedPreparationChangesNothing:an immutable folder gets a file]="sets immutable and append-only attributes with the Linux chattr, which Windows files do not have"
  [tst_packageinstaller:refusedPreparationChangesNothing:an append-only folder]="sets immutable and append-only attributes with the Linux chattr, which Windows files do not have"
  [tst_packageinstaller:refusedPreparationChangesNothing:a new folder below an immutable one]="sets immutable and append-only attributes with the Linux chattr, which Windows files do not have"
  [tst_packageinstaller:refusedPreparationChangesNothing:an immutable config.ini]="sets immutable and append-only attributes with the Linux chattr, which Windows files do not have"
  [tst_packageinstaller:refusedPreparationChangesNothing:a config.ini its owner may only read]="runs as the installation's owner through POSIX uids (chown, seteuid)"
  [tst_zipextract:keepsPermissions]="checks POSIX modes (execute bits, setuid), which Windows files do not have"
  [tst_zipextract:extractsZip64]="makes its archive with the Linux zip tool"
  [tst_zipextract:extractsLayout:GBK names]="Wine has no GB18030 code page (54936), which Windows has"
  [tst_zipextract:rejectsClashingEntries:final sigma]="Wine upper-cases final sigma to itself, so it folds apart from sigma"
)

# Prints why suite `name` is not run under Wine; nothing when it is run.
why_not_run() {
  if [ -n "${NOT_BUILT[$1]:-}" ]; then
    echo "not built for Windows: ${NOT_BUILT[$1]}"
  elif [ -n "${CANNOT_RUN[$1]:-}" ]; then
    echo "${CANNOT_RUN[$1]}"
  fi
}
