package com.velmora.util.exec.testing;

import java.nio.file.Path;

/**
 * Control of the model Windows system that the natives run against in this
 * tier, and of runwarden's process-wide state. Process ids and handles are
 * 32-bit values carried as ints. Launch texts are the exact bytes the platform
 * received, or null where the library passed a null pointer.
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

    /** Changes the process's real current directory. */
    public static native boolean setCurrentDirectory(String path);

    /** Replaces the runtime library's environment table: entries name=value, in table order. */
    public static native void setEnvironment(String[] entries);
}
