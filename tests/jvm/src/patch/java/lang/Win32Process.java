package java.lang;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Test double of the runtime's process class, patched into java.base. It starts
 * nothing: its two-array constructor records the arguments and the process's
 * real current directory, as the real class's process would inherit it. A
 * class here cannot bind natives of an application library, so the directory
 * is read from /proc/self/cwd.
 *
 * <p>A command whose first element is "fail" makes the constructor throw an
 * {@link IOException}, as the real one does when a program cannot be started.
 */
public final class Win32Process extends Process {
    private final String[] command;
    private final String[] environment;
    private final String directoryAtStart;
    private final String directoryAtEnd;

    public Win32Process(String[] command, String[] environment) throws IOException {
        this.command = command;
        this.environment = environment;
        this.directoryAtStart = currentDirectory();
        if ("fail".equals(command[0])) {
            throw new IOException("Cannot run program \"fail\"");
        }
        // Give other threads a chance to change the directory while this process
        // would still be starting: a caller that does not hold the directory still
        // for the whole construction shows up as a difference between the two reads.
        for (int i = 0; i < 20; i++) {
            Thread.yield();
        }
        this.directoryAtEnd = currentDirectory();
    }

    public static String currentDirectory() throws IOException {
        return Files.readSymbolicLink(Path.of("/proc/self/cwd")).toString();
    }

    public String[] command() {
        return command;
    }

    public String[] environment() {
        return environment;
    }

    /** The directory in which the process started. */
    public String directory() {
        return directoryAtStart;
    }

    /** The directory at the end of construction. */
    public String directoryAtEnd() {
        return directoryAtEnd;
    }

    @Override
    public OutputStream getOutputStream() {
        return OutputStream.nullOutputStream();
    }

    @Override
    public InputStream getInputStream() {
        return new ByteArrayInputStream(new byte[0]);
    }

    @Override
    public InputStream getErrorStream() {
        return new ByteArrayInputStream(new byte[0]);
    }

    @Override
    public int waitFor() {
        return 0;
    }

    @Override
    public int exitValue() {
        return 0;
    }

    @Override
    public void destroy() {
    }
}
