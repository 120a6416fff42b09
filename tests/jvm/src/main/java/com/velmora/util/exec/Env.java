package com.velmora.util.exec;

/** The environment of the VM's process, as the platform's C runtime holds it. */
public final class Env {
    static {
        NativeLibraries.load("varbridge");
    }

    private Env() {
    }

    /** @return every entry as name=value, in the runtime's order */
    public static native String[] getEnvironments();

    /** @return the variable's value, or null when it is not set (or name is null) */
    public static native String getEnvironment(String name);

    /** @return true when the runtime accepted name=value; an empty value removes the variable */
    public static native boolean setEnvironment(String name, String value);

    /** @return true when the runtime accepted the entry, which must have the form name=value */
    public static native boolean setEnvironment2(String entry);
}
