// Raw -lh1- streams through the jlha library, for cross-checks:
//   java -cp jlha.jar JlhaLh1.java encode IN OUT [IN OUT]...
//   java -cp jlha.jar JlhaLh1.java decode IN OUT SIZE
import java.io.*;
import java.nio.file.*;
import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

public class JlhaLh1 {
    public static void main(String[] args) throws Exception {
        if (args[0].equals("encode")) {
            for (int i = 1; i + 1 < args.length; i += 2) {
                byte[] in = Files.readAllBytes(Paths.get(args[i]));
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                OutputStream encoder = CompressMethod.connectEncoder(out, CompressMethod.LH1, LhaProperty.getProperties());
                encoder.write(in);
                encoder.close();
                Files.write(Paths.get(args[i + 1]), out.toByteArray());
            }
        } else {
            byte[] in = Files.readAllBytes(Paths.get(args[1]));
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            InputStream decoder = CompressMethod.connectDecoder(new ByteArrayInputStream(in), CompressMethod.LH1,
                LhaProperty.getProperties(), Long.parseLong(args[3]));
            decoder.transferTo(out);
            Files.write(Paths.get(args[2]), out.toByteArray());
        }
    }
}
