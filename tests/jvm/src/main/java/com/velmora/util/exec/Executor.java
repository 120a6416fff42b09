package com.velmora.util.exec;

/** Process objects whose process starts in a directory chosen by the caller. */
public final class Executor {
    static {
        NativeLibraries.load("dirlaunch");
    }

    private Executor() {
    }

    /**
     * Starts a process of the Java runtime in {@code directory} (relative to the
     * current directory of the moment); the VM's current directory is the same
     * afterwards. Calls are serialised.
     *
     * @param environment the new process's environment entries, or null to inherit
     * @return the runtime's process object
     * @throws NullPointerException when directory or command is null
     * @throws ArrayIndexOutOfBoundsException when command is empty
     * @throws java.io.IOException (undeclared) when the directory cannot be entered
     *         (a name holding U+0000 never can) or the current one cannot be read;
     *         also whatever the runtime raises
     */
    public static native Process createProcessIn(String directory, String[] command, String[] environment);
}
