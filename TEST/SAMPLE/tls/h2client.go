// An HTTP/2 client written against Go's x/net/http2, used by the trust
// tests as an independent peer: one POST to URL over TLS, with an optional
// client certificate, trusting only CA. Prints "status <code> <proto>" and
// exits 0, or prints the error and exits 1.
//
//	h2client URL CA [CERT KEY]
package main

import (
	"crypto/tls"
	"crypto/x509"
	"fmt"
	"io"
	"net/http"
	"os"
	"strings"
	"time"

	"golang.org/x/net/http2"
)

func main() {
	if len(os.Args) != 3 && len(os.Args) != 5 {
		fmt.Println("usage: h2client URL CA [CERT KEY]")
		os.Exit(2)
	}
	pem, err := os.ReadFile(os.Args[2])
	if err != nil {
		fmt.Println(err)
		os.Exit(1)
	}
	roots := x509.NewCertPool()
	roots.AppendCertsFromPEM(pem)
	cfg := &tls.Config{RootCAs: roots}
	if len(os.Args) == 5 {
		pair, err := tls.LoadX509KeyPair(os.Args[3], os.Args[4])
		if err != nil {
			fmt.Println(err)
			os.Exit(1)
		}
		// Sent whatever CAs the server names, so that a refusal is the
		// server's decision.
		cfg.GetClientCertificate = func(*tls.CertificateRequestInfo) (*tls.Certificate, error) {
			return &pair, nil
		}
	}
	client := &http.Client{Transport: &http2.Transport{TLSClientConfig: cfg}, Timeout: 10 * time.Second}
	res, err := client.Post(os.Args[1], "text/plain", strings.NewReader("hello"))
	if err != nil {
		fmt.Println("error:", err)
		os.Exit(1)
	}
	body, _ := io.ReadAll(res.Body)
	res.Body.Close()
	fmt.Printf("status %d %s %s\n", res.StatusCode, res.Proto, body)
}
