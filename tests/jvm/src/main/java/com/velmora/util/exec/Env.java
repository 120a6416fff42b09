package com.velmora.util.exec;

/**
 * The environment of the VM's process, as the platform's C runtime holds it.
 * Names, values and entries cross as text, any character included; one that
 * holds U+0000, which no Windows text can, reads as not set and is not set.
 */
public final class Env {
    static {
        NativeLibraries.load("varbridge");
    }

    private Env() {
    }

    /** @return every entry as name=value, in the runtime's order */
    public static native String[] getEnvironments();

    /** @return the variable's value, or null when it is not set (or name is null or holds U+0000) */
    public static native String getEnvironment(String name);

    /** @return true when the runtime accepted name=value (false for null); an empty value removes the variable */
    public static native boolean setEnvironment(String name, String value);

    /** @return true when the runtime accepted the entry (false for null), which must have the form name=value */
    public static native boolean setEnvironment2(String entry);
}
