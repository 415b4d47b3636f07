// trinstnix.cpp - the trace installer trsetup and its uninstaller truninst.
//
//   trsetup install | trsetup uninstall | truninst uninstall
//
// install copies the trace files from the folder of the running program into
// the system folders, has the execution service approve the start tool so
// that every user can start the driver, installs the module archive and
// builds the module for the running kernel; uninstall takes all of it away
// again except the execution service, which removes itself with its last
// approval. The installer installs itself as the uninstaller; run under a
// name holding "uninst" it offers the uninstall command only.
//
// Every step is an install step with its own progress and error lines on
// standard output; the installer keeps no state of its own. install stops at
// the first failing step and then runs the whole uninstall to clean up;
// uninstall runs every step and the last error counts, but removes itself
// only when everything before went well.
#include <unistd.h>

#include "qpinst.h"
#include "qppin.h"
#include "qppolymain8.h"
#include "qpsys.h"
#include "sstring.h"
#include "usertext.h"

namespace {

constexpr const char* binFolder = "/usr/local/bin";
constexpr const char* libFolder = "/usr/local/lib";
constexpr const char* dllFileName = "libqptrace1.so";
constexpr const char* cmdFileName = "trcmd";
constexpr const char* startFileName = "trstart";
constexpr const char* uninstallFileName = "truninst";
constexpr const char* kmodName = "qptrace";
constexpr const char* sysexecFileName = "qpsysexec";

UTDEF(ut_application_name, "application_name", "Trace Tool Setup - Velkor Trace Tool");
UTDEF(ut_build_tag, "build_tag", QP_BUILD_TAG);
UTDEF(ut_copyright, "copyright", QP_COPYRIGHT_LINE);
UTDEF(ut_warning_ignoring_switch, "warning_ignoring_switch",
      "WARNING: Ignoring unknown switch \"%1\"\n");
UTDEF(ut_warning_ignoring_arg, "warning_ignoring_arg",
      "WARNING: Ignoring unexpected argument \"%1\"\n");
UTDEF(ut_error_must_run_as_admin, "error_must_run_as_admin",
      "ERROR: This program must be run by an administrator.\n");
UTDEF(ut_install_complete, "install_complete", "Install complete.\n");
UTDEF(ut_install_failed, "install_failed", "ERROR: Install failed.\n");
UTDEF(ut_note_cleaning_failed_install, "note_cleaning_failed_install",
      "NOTE: Executing uninstall logic to cleanup failed install.\n");
UTDEF(ut_uninstall_complete, "uninstall_complete", "Uninstall complete.\n");
UTDEF(ut_uninstall_failed, "uninstall_failed", "ERROR: Uninstall failed.\n");

UTDEF(ut_install_short, "trsetup_install_short_help", "Install trace support files to system.\n");
UTDEF(ut_uninstall_short, "trsetup_uninstall_short_help",
      "Uninstall trace support files from system.\n");
UTDEF(ut_syntax_long, "trsetup_syntax_long_help", "syntax: %(command_name) %1\n");

// The steps' texts go to standard output unchanged.
void cmd_qpinst_output(qpinst_stat_t*, const char* text)
{
    UtOutFileLine(STDOUT_FILENO, text, 0);
}

void print_text(const char* tid, const char* arg = nullptr)
{
    qp_scratch_pool pool;
    UtPrintOut(UtGet1(pool.ma(), tid, arg));
}

// Files of earlier versions of the trace tools, in folders now left alone.
void LegacyCleanup(qpinst_stat_t* st)
{
    qpinst_delete_file(st, "/usr/bin", "trcat");
    qpinst_delete_file(st, "/usr/bin", "trcmd");
    qpinst_delete_file(st, "/usr/bin", "truninst");
    qpinst_delete_file(st, "/usr/bin", "trstart");
    qpinst_delete_file(st, "/usr/sbin", "trstart");
}

bool Install()
{
    qpinst_stat_t st = {cmd_qpinst_output, true, 0};
    const char* src = env_get_exec_folder();
    qpinst_copy_exec(&st, src, sysexecFileName, binFolder, nullptr);
    qpinst_copy_exec(&st, src, dllFileName, libFolder, nullptr);
    qpinst_copy_exec(&st, src, env_get_command(), binFolder, uninstallFileName);
    qpinst_copy_exec(&st, src, cmdFileName, binFolder, nullptr);
    qpinst_copy_exec(&st, src, startFileName, binFolder, nullptr);
    qpinst_set_run_as_root(&st, binFolder, startFileName);
    qpinst_copy_kernel(&st, src, kmodName);
    LegacyCleanup(&st);
    return st.err == 0;
}

bool Uninstall()
{
    qpinst_stat_t st = {cmd_qpinst_output, false, 0};
    qpinst_delete_kernel(&st, kmodName);
    qpinst_delete_file(&st, binFolder, cmdFileName);
    qpinst_reset_run_as_root(&st, binFolder, startFileName);
    qpinst_delete_file(&st, binFolder, startFileName);
    qpinst_delete_file(&st, libFolder, dllFileName);
    qpinst_delete_kernel(&st, kmodName);
    LegacyCleanup(&st);
    st.stop_on_err = true;
    qpinst_delete_file(&st, binFolder, uninstallFileName);
    return st.err == 0;
}

// Switches and arguments are warned about; they never change what is done.
void warn_arguments(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        bool is_switch = argv[i][0] == '-' && ss8len(argv[i]) == 2;
        print_text(is_switch ? ut_warning_ignoring_switch.tid : ut_warning_ignoring_arg.tid,
                   argv[i]);
    }
}

// The common frame of both commands: root only, then the work, then one
// closing line. Returns 0 or -1.
int run_as_admin(int argc, char** argv, bool (*work)(), const char* complete_tid,
                 const char* failed_tid)
{
    int result = -1;
    if (!env_is_user_privileged()) {
        print_text(ut_error_must_run_as_admin.tid);
    } else {
        warn_arguments(argc, argv);
        if (work())
            result = 0;
    }
    print_text(result == 0 ? complete_tid : failed_tid);
    return result;
}

bool InstallWithCleanup()
{
    if (Install())
        return true;
    print_text(ut_note_cleaning_failed_install.tid);
    Uninstall();
    return false;
}

int InstallMain(int argc, char** argv)
{
    return run_as_admin(argc, argv, InstallWithCleanup, ut_install_complete.tid,
                        ut_install_failed.tid);
}

int UninstallMain(int argc, char** argv)
{
    return run_as_admin(argc, argv, Uninstall, ut_uninstall_complete.tid,
                        ut_uninstall_failed.tid);
}

declare_main8_t* uninstallMainList = nullptr;

declare_main8_c declare_InstallMain(nullptr, "install", InstallMain, ut_install_short.tid,
                                    ut_syntax_long.tid);
declare_main8_c declare_UninstallMain(nullptr, "uninstall", UninstallMain,
                                      ut_uninstall_short.tid, ut_syntax_long.tid);
declare_main8_c declare_UninstallMain2(&uninstallMainList, "uninstall", UninstallMain,
                                       ut_uninstall_short.tid, ut_syntax_long.tid);

int main8(int argc, char** argv8)
{
    const char* command = env_get_command();
    declare_main8_t** list = ss8asciistri(command, "uninst") ? &uninstallMainList : nullptr;
    return poly_main8(list, argc - 1, argv8 + 1, command, ut_map_get(ut_application_name.tid),
                      ut_map_get(ut_build_tag.tid), ut_map_get(ut_copyright.tid));
}

} // namespace

int main(int argc, char** argv)
{
    return poly_main_entry(argc, argv, main8);
}
