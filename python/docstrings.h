#pragma once

// Python docstrings of the module's class, static methods and functions.
// Users read them through help(); keep the texts as they are.

namespace apps::docstrings {

inline constexpr const char* init =
    "Constructor connects to a basecall service at the specified port.\n"
    "\n"
    ":param address: The address the basecall server is listening to.\n"
    ":param config: The string name of the configuration we want to use on the server.  This can take the form of a config file name\n"
    "    or a model set.  Model sets are specified as a canonical basecall model, followed by a `|` character, then a comma-separated\n"
    "    list of (possibly zero) modbase models, followed by a `|` character and then an optional duplex model.\n"
    ":param num_threads: The number of internal worker threads to use to communicate with the server.";

inline constexpr const char* set_params =
    "Parameter setter for connection to the server.\n"
    "\n"
    ":param params: Dictionary of named parameters.\n"
    ":returns: A code indicating whether the call was success.\n"
    "\n"
    "The allowed parameters are:\n"
    "\n"
    "* client_name (str):                    A name for the client, which will appear in server log entries.\n"
    "* query_timeout (int):                  Milliseconds to wait for a server response before timing out. Default is 2000ms.\n"
    "* server_file_load_timeout (int):       Seconds to wait for files to be loaded on the server. Default is 180s.\n"
    "* pass_read_timeout (int):              Default value to use if the optional pass_read parameter wait_duration_ms is\n"
    "                                        not supplied. The default value for this is zero, which if applied means pass_read\n"
    "                                        will be non-blocking.\n"
    "* connection_timeout (int):             Milliseconds to wait for a server connection attempt. Default is 15000ms.\n"
    "* reconnect_timeout (int):              Seconds to wait for the client to reconnect to the server if the connection is\n"
    "                                        broken. Default is 300s.\n"
    "* max_message_size (int):               Size of blocks to be sent to the server, in samples. Default is 256000.\n"
    "* max_reads_queued (int):               Maximum number of reads (or read batches) to queue for sending to the server. Default is 20.\n"
    "* max_server_read_failures (int):       Maximum number of times a read can be in-flight when the client has to reconnect before the\n"
    "                                        client will stop resubmitting the in-flight reads. Default is 10.\n"
    "* priority (ReadPriority):              Priority of the client (low, medium, or high). Default is medium.\n"
    "* move_enabled (bool):                  Flag indicating whether to return move data. Default is False.\n"
    "* barcode_kits (list):                  Strings naming each barcode kit to use. Default is to not do barcoding.\n"
    "* require_barcodes_both_ends (bool):    Flag indicating that barcodes must be at both ends. Default is False.\n"
    "* enable_trim_barcodes (bool):          Option indicating that barcodes should be trimmed. Default is False, set to true to enable trimming.\n"
    "* trim_adapters (bool):                 Flag indicating that adapters should be trimmed. Default is False.\n"
    "* trim_primers (bool):                  Flag indicating that primers should be trimmed. Default is False.\n"
    "* align_ref (str):                      Filename of index file to use for alignment (if any). Default is to not align.\n"
    "* bed_file (str):                       Filename of BED file to use for alignment (if any). Default is to not align.\n"
    "* barcode_list (list):                  An optional list of barcodes to filter against. Default is no restriction.\n"
    "* pair_by_channel (bool):               An optional flag to enable caching by channel for duplex pairing. Default is False (caching by time).\n"
    "* chunk_size (int):                     For adaptive sampling. Specify the chunk-size for basecalling. If you are truncating reads, send the\n"
    "                                        value you are truncating to.\n"
    "* estimate_poly_a (bool):               Flag indicating whether to perform polyA/T tail length estimation.\n"
    "* poly_a_config (str):                  Filename of a custom polyA/T configuration to use for estimation.\n"
    "\n"
    "Possible return values are:\n"
    "\n"
    "* success:             The parameters have been set.\n"
    "* already_connected:   The parameters cannot be changed after the client is connected to the server.\n"
    "* failed:              The parameter dict was not formatted correctly.";

inline constexpr const char* get_status =
    "Get the status of the client.\n"
    "\n"
    ":returns: A code representing the status of the client.\n"
    "\n"
    "Possible return values are:\n"
    "\n"
    "* connected:           The client is connected to the server.\n"
    "* disconnected:        The client is not connected to a server, but is functioning properly.\n"
    "* error_state:         An error has occurred.";

inline constexpr const char* get_error_message =
    "Get the error message, if any.\n"
    "\n"
    ":returns: The current error message string, if any.";

inline constexpr const char* get_internal_state =
    "For diagnostics/debugging use only.\n"
    "\n"
    ":returns: A string describing the internal state of the client.\n"
    "\n"
    "This information may be useful to capture if diagnosing an issue.";

inline constexpr const char* connect =
    "Connect to basecall server.\n"
    "\n"
    ":returns: A code indicating either successful connection, or indicating what went wrong.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success:                      The client has successfully connected to the server.\n"
    "* failed:                       An unknown exception was thrown or the client was already in an error state.\n"
    "* already_connected:            The client is already connected to the server.\n"
    "* timed_out:                    The server did not respond to the connect request.\n"
    "* invalid_response:             The response from the server was not understood.\n"
    "* basecall_config_unavailable:  The basecalling configuration specified is not available on the server.\n"
    "* barcode_kit_unavailable:      The specified barcoding kit is not available on the server.\n"
    "* align_index_unavailable:      The specified alignment index file is not available on the server.\n"
    "* bed_file_unavailable:         The specified alignment bed file is not available on the server.\n"
    "\n"
    "All results other than success put the object into the ERROR_STATE.";

inline constexpr const char* pass_read =
    "Pass a read to the caller.\n"
    "\n"
    ":param read: A dict containing raw data for a read.\n"
    ":param wait_duration_ms: (optional) Duration to wait to try to pass the read. If the input queue is full this\n"
    "                         call will block until either space is available on the queue or the timeout period is reached.\n"
    "                         A value of zero is valid and means the call will not block.\n"
    "\n"
    ":returns: A code indicating success, or why the attempt was unsuccessful.\n"
    "\n"
    "The read dict must be properly initialised. This includes the following fields:\n"
    "\n"
    "* read_tag (int): Must be set to a 32bit non-negative value unique to this client.\n"
    "* raw_data (ndarray): A 1d numpy array of signed 16 bit integers representing the raw signal.\n"
    "* read_id (string): The string formatted read-id for the read. This is mostly for debugging, so the the exact value\n"
    "                    passed is not important, nor does it need to be unique. But it should not be empty.\n"
    "* daq_offset (float): The offset to add to the daq values for conversion to pA.\n"
    "* daq_scaling (float): The scale factor to multiply the daq values by for conversion to pA.\n"
    "* start_time (int): unsigned 64-bit int, set to the start time of the read (in samples)\n"
    "                    relative to the experiment start time.\n"
    "* sampling_rate (float): The sampling rate of the raw read data.\n"
    "\n"
    "Any other fields will be ignored by the client.\n"
    "\n"
    "Possible return codes are:\n"
    "* success               The read has been accepted\n"
    "* not_accepting_reads   This could be because either the client is inactive (state is 'disconnected'|'error')\n"
    "*                       or finish() has been called and the client is accepting no more reads.\n"
    "* queue_full            Client's internal read-queue is full This could be because the the server is busy, or because\n"
    "*                       reads are being passed to the client faster than it can send them to the server.\n"
    "* bad_read              the read is malformed (missing necessary fields) and will not be accepted for processing.";

inline constexpr const char* pass_reads =
    "Pass a read to the caller.\n"
    "\n"
    ":param read: A dict containing raw data for a read.\n"
    ":param wait_duration_ms: (optional) Duration to wait to try to pass the read. If the input queue is full this\n"
    "                         call will block until either space is available on the queue or the timeout period is reached.\n"
    "                         A value of zero is valid and means the call will not block.\n"
    "\n"
    ":returns: A code indicating success, or why the attempt was unsuccessful.\n"
    "\n"
    "The read dict must be properly initialised. This includes the following fields:\n"
    "\n"
    "* read_tag (int): Must be set to a 32bit non-negative value unique to this client.\n"
    "* raw_data (ndarray): A 1d numpy array of signed 16 bit integers representing the raw signal.\n"
    "* read_id (string): The string formatted read-id for the read. This is mostly for debugging, so the the exact value\n"
    "                    passed is not important, nor does it need to be unique. But it should not be empty.\n"
    "* daq_offset (float): The offset to add to the daq values for conversion to pA.\n"
    "* daq_scaling (float): The scale factor to multiply the daq values by for conversion to pA.\n"
    "* start_time (int): unsigned 64-bit int, set to the start time of the read (in samples)\n"
    "                    relative to the experiment start time.\n"
    "* sampling_rate (float): The sampling rate of the raw read data.\n"
    "\n"
    "Any other fields will be ignored by the client.\n"
    "\n"
    "Possible return codes are:\n"
    "* success               The read has been accepted\n"
    "* not_accepting_reads   This could be because either the client is inactive (state is 'disconnected'|'error')\n"
    "*                       or finish() has been called and the client is accepting no more reads.\n"
    "* queue_full            Client's internal read-queue is full This could be because the the server is busy, or because\n"
    "*                       reads are being passed to the client faster than it can send them to the server.\n"
    "* bad_read              the read is malformed (missing necessary fields) and will not be accepted for processing.";

inline constexpr const char* get_completed_reads =
    "Get completed reads.\n"
    "\n"
    ":returns: A list of lists of completed reads.\n"
    "\n"
    "The list will be empty if no reads are available to be returned. Otherwise, each entry will be a list of dicts\n"
    "containing the basecalled reads. If the original read was not split during processing, this list will have a length of 1.\n"
    "\n"
    "Any reads which were too short to be basecalled (less than 100 samples) will have empty sequences and qstrings.";

inline constexpr const char* finish =
    "Blocks until all reads are finished processing.\n"
    "\n"
    ":param timeout: The timeout (in seconds) to wait for all reads to completed. A timeout of zero means no timeout.\n"
    ":returns: A code indicating whether the call was successful.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success:        The request was successfully received, all remaining reads can be obtained.\n"
    "* not_ready:      The timeout period elapsed without all reads being complete.\n"
    "* failed:         Something has gone wrong. The client will now be in the error state.\n"
    "* no_connection:  The client is not currently connected to a server.";

inline constexpr const char* disconnect =
    "Puts the client into the 'disconnected' state, disconnecting from the server if required\n"
    "and clearing any error state message. If wishing to reconnect after after an error, first call this method to enter\n"
    "the 'disconnected' state prior to calling connect().\n"
    "N.B. This method will reset the client losing any reads held and any error status information.\n"
    "\n"
    ":returns: A code indicating success, or no_connection if already disconnected.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success:        The request was successfully received, and the client is now disconnected from the server.\n"
    "* no_connection:  The client is already in the disconnected state.";

inline constexpr const char* get_basecalling_config =
    "Get the basecalling config used by this client.\n"
    "\n"
    ":returns: A tuple containing a dict representing the configuration and a code indicating success/failure.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success:        The request was successfully received, and the configuration has been returned.\n"
    "* no_connection:  The client is not currently connected to a server.";

inline constexpr const char* get_alignment_sam_header =
    "Get the SAM header for the alignment index file in use by this client.\n"
    "\n"
    ":returns: A tuple containing the SAM header and a code indicating whether the header was successfully retrieved.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success:        The request was successfully received, and the SAM header has been returned.\n"
    "* no_connection:  The client is not currently connected to a server.";

inline constexpr const char* get_barcode_kits =
    "Query method for retrieving barcode kits supported by the server.\n"
    "\n"
    ":param address: The address the server is listening to.\n"
    ":param timeout: Timeout to use for server messages.\n"
    ":returns: A tuple containing a list of barcode kit definitions supported by the server and\n"
    "          a code indicating whether or not the call was successful.\n"
    "\n"
    "Possible return codes are:\n"
    "* success: The request was successfully received, And a list of supported barcode kit descriptions has been returned\n"
    "* failed: Indicates that an exception was thrown. This may indicate a bug in the software.\n"
    "* bad_reply: Indicates that the server protocol version is not compatible with the client version (rejected by client).\n"
    "* bad_request: Indicates that the server protocol version is not compatible with the client version (rejected by server).\n"
    "* invalid_response: This should not occur, and indicates a bug in the software.\n"
    "* timed_out: Indicates that either no server is present at the address, or the server did not respond.";

inline constexpr const char* get_server_stats =
    "Query method for retrieving the server statistics.\n"
    "\n"
    ":param address: The address the server is listening to.\n"
    ":param timeout: Timeout to use for server messages.\n"
    ":returns: A tuple containing a the server statistics and a code indicating whether or not the call was successful.\n"
    "\n"
    "Possible return codes are:\n"
    "\n"
    "* success: The request was successfully received and the server statistics have been returned\n"
    "* failed: The request has failed, either due to being unable to connect, or some sort.\n"
    "* bad_reply: Indicates that the server protocol version is not compatible with the client version (rejected by client).\n"
    "* bad_request: Indicates that the server protocol version is not compatible with the client version (rejected by server).\n"
    "* invalid_response: This should not occur, and indicates a bug in the software.\n"
    "* timed_out: Indicates that either no server is present at the address, or the server did not respond.";

inline constexpr const char* get_server_information =
    "Confirm that a server at the specified address exists, and get basic information\n"
    "about the server.\n"
    "\n"
    ":param address: Address of server.\n"
    ":param timeout: Timeout (in milliseconds) to wait for a response.\n"
    ":returns: A tuple containing the server information and a code indicating whether the call succeeded, or why it failed.\n"
    "\n"
    "Possible return codes are:\n"
    "* success: The server was successfully contacted, and information has been retrieved.\n"
    "* failure: Indicates that an exception was thrown. This may indicate a bug in the software.\n"
    "* bad_reply: Indicates that the server protocol version is not compatible with the client version (rejected by client).\n"
    "* bad_request: Indicates that the server protocol version is not compatible with the client version (rejected by server).\n"
    "* invalid_response: This should not occur, and indicates a bug in the software.\n"
    "* timed_out: Indicates that either no server is present at the address, or the server did not respond.\n"
    "\n"
    "If successful, the returned information string will contain json encoded server information. For example:\n"
    "ServerInformation {\n"
    "    \"tessel_version\": \"1.1.1\",\n"
    "    \"protocol_version\": \"2.3.4\"\n"
    "    \"processing mode [CPU|GPU]\": \"GPU\",\n"
    "    \"Loaded Alignment Reference Files\": {\n"
    "        \"1\": \"c:/data/input/genomes/lambda_ecoli.fasta\"\n"
    "    },\n"
    "    \"Loaded Bed Files\": {\n"
    "        \"1\": \"c:/data/input/genomes/test_bed.bed\",\n"
    "        \"2\": \"c:/data/input/genomes/test_stranded_bed.bed\"\n"
    "    },\n"
    "    \"CUDA Devices\": {\n"
    "        \"num devices\": 2,\n"
    "        \"device_0\": {\n"
    "            \"ID\": 0,\n"
    "            \"name\": \"Tesla V100-PCIE-16GB\"\n"
    "        },\n"
    "        \"device_1\": {\n"
    "            \"ID\": 1,\n"
    "            \"name\": \"NVIDIA GeForce GTX 1080 Ti\"\n"
    "        }\n"
    "    },\n"
    "    \"Unused CUDA Devices\": {\n"
    "        \"num devices\": 1,\n"
    "        \"device_2\": {\n"
    "            \"ID\": 2,\n"
    "            \"name\": \"NVIDIA GeForce GTX 1080 Ti\"\n"
    "        }\n"
    "    },\n"
    "    \"NVIDIA Driver Version\": \"1.2.3\"\n"
    "}\n"
    "\n"
    "Additional fields may be added in the future.";

inline constexpr const char* get_server_internal_state =
    "For diagnostics/debugging use only.\n"
    "\n"
    ":returns: A tuple containing a string describing the internal state of the server and a code indicating whether\n"
    "          the call succeeded, or why it failed.\n"
    "\n"
    "This information may be useful to capture if diagnosing an issue.";

inline constexpr const char* get_software_version =
    "Get the software version that the library was compiled from.\n"
    "\n"
    ":returns: A tuple containing the major, minor, and patch version numbers.";

inline constexpr const char* get_protocol_version =
    "Get the protocol version that the server client is using.\n"
    "\n"
    ":returns: A tuple containing the major, minor, and patch version numbers.";

inline constexpr const char* test_metadata_to_dict =
    "Helper function for use in testing conversion of Metadata objects to a Python dicts";

inline constexpr const char* test_datasets_to_dict =
    "Helper function for use in testing conversion of DatasetMap objects to Python dicts.";

inline constexpr const char* test_dict_to_readholder =
    "Helper function for use in testing conversion of python dict to ReadHolder object.";

inline constexpr const char* test_readholder_to_dict =
    "Helper function for use in testing conversion of a ReadHolder object to a python dict.";

inline constexpr const char* test_str_list_concat =
    "Helper function for use in testing the str_list_to_std_string() function.";

inline constexpr const char* test_config_details_to_dict =
    "Helper function for use in testing the config_details_to_dict() function.";

}  // namespace apps::docstrings
