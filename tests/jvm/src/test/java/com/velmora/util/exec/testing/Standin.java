package com.velmora.util.exec.testing;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;

/**
 * Control of the model Windows system that the natives run against in this
 * tier, and of runwarden's process-wide state. Process ids and handles are
 * 32-bit values carried as ints. Launch texts are byte arrays, or null where
 * the library passed a null pointer: the bytes a narrow launch received, the
 * UTF-8 of the texts a wide launch received (see {@link #launchApplicationText}),
 * and the environment block's raw bytes in either case.
 */
public final class Standin {
    static {
        String directory = System.getProperty("com.velmora.util.exec.nativeDir");
        System.load(Path.of(directory, System.mapLibraryName("standinctl")).toAbsolutePath().toString());
    }

    private Standin() {
    }

    /** The default system (the VM is process 1000) and runwarden as freshly loaded: no back end. */
    public static native void reset();

    public static native int backendMode();

    /** Makes the platform's function lookup miss this name (the next selection sees it missing). */
    public static native void hideExport(String name);

    public static native int currentProcessId();

    /** @return the id of a new running process with this parent */
    public static native int addProcess(int parent);

    public static native void exitProcess(int pid, int code);

    public static native boolean alive(int pid);

    public static native int exitCode(int pid);

    /** @return ids in the order the platform terminated them */
    public static native int[] terminations();

    public static native int launchCount();

    /** Every later launch fails with this error; 0 stops. */
    public static native void failLaunches(int error);

    public static native byte[] launchApplication(int index);

    public static native byte[] launchCommandLine(int index);

    public static native byte[] launchDirectory(int index);

    /** @return the block up to and including its closing terminator */
    public static native byte[] launchEnvironmentBlock(int index);

    /** @return the application name a wide launch received, as text */
    public static String launchApplicationText(int index) {
        return wideText(index, launchApplication(index));
    }

    /** @return the command line a wide launch received, as text */
    public static String launchCommandLineText(int index) {
        return wideText(index, launchCommandLine(index));
    }

    /** @return the directory a wide launch received, as text */
    public static String launchDirectoryText(int index) {
        return wideText(index, launchDirectory(index));
    }

    private static String wideText(int index, byte[] utf8) {
        if (!launchWide(index)) {
            throw new IllegalStateException("launch " + index + " went through the narrow call");
        }
        return utf8 == null ? null : new String(utf8, StandardCharsets.UTF_8);
    }

    /** @return whether the launch went through the UTF-16 call */
    public static native boolean launchWide(int index);

    public static native int launchFlags(int index);

    public static native boolean launchInheritsHandles(int index);

    public static native boolean launchUsesOwnStartupInfo(int index);

    public static native int launchPid(int index);

    public static native int launchProcessHandle(int index);

    public static native int launchThreadHandle(int index);

    public static native boolean handleOpen(int handle);

    public static native boolean closeHandle(int handle);

    /** While on, each tree kill raises an access violation once it has listed the children of the process it was given. */
    public static native void faultInTreeKill(boolean on);

    public static native void setProcessors(int count);

    public static native int sleeps();

    public static native void failGetCurrentDirectory(boolean fail);

    /** The directory change after {@code afterCount} more succeeds fails; negative: stop failing. */
    public static native void failSetCurrentDirectory(int afterCount);

    /** Changes the process's real current directory; any name works. */
    public static native boolean setCurrentDirectory(String path);

    /** The ANSI code page of the system: 1252 (after {@link #reset}) or 65001 (UTF-8). */
    public static native void setCodePage(int codePage);

    /**
     * Replaces the runtime library's environment table, as a process finds it
     * when it starts: entries name=value, in table order, each held as its
     * bytes in the ANSI code page. An entry the code page cannot hold raises
     * IllegalArgumentException and changes nothing.
     */
    public static native void setEnvironment(String[] entries);

    /** @return the environment as the platform holds it as text (the runtime's wide table), in table order */
    public static native String[] platformEnvironment();
}
