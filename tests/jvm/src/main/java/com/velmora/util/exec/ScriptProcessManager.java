package com.velmora.util.exec;

/**
 * Operating-system processes by id: launch, kill, tree kill, child count, the id
 * behind a process object, and the system's CPU usage. Failures are results
 * (0 or -1), never exceptions; only {@link #getPID} can let the VM's
 * {@link NoSuchFieldError} through.
 */
public final class ScriptProcessManager {
    static {
        NativeLibraries.load("runwarden");
    }

    private ScriptProcessManager() {
    }

    /** Selects the process-information back end; may be called any number of times. */
    public static native void init();

    /**
     * Starts a process with a console of its own. A null environment inherits the
     * VM's; otherwise the string is the child's whole environment, as one entry.
     * Null application or directory: the command line's first token, the VM's directory.
     * The texts reach Windows as they are, any character included, except that
     * a string holding U+0000, which no Windows text can, starts nothing.
     *
     * @return the new process's id, or 0 when it was not started
     */
    public static native int executeProcess(String application, String commandLine, String environment,
            String directory);

    /** @return 0 when the process could be opened (and was terminated with exit code 0), -1 otherwise */
    public static native int killProcess(int pid);

    /**
     * Terminates, deepest first, every descendant of the process that also descends
     * from this VM; the process itself keeps running.
     *
     * @return 0, or -1 when a fault was caught during the tree kill
     */
    public static native int killAllChildren(int pid);

    /** @return the number of direct children, or -1 on failure */
    public static native int childProcessesCount(int pid);

    /**
     * @param process an object with an int or long field {@code handle} holding a process handle
     * @return the process id; -1 for null, a zero handle or no native back end; 0 when
     *         the handle cannot be queried
     */
    public static native int getPID(Object process);

    /** @return the system-wide CPU usage in percent over about half a second, or -1 */
    public static native int getCPUUsage();
}
